#include "HttpServer.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <optional>
#include <unordered_set>

namespace dorvane::devserver {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* PlainText = "text/plain";
// Sent without waiting to a connection past the limit, which is then closed.
constexpr std::string_view Unavailable = "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\n"
                                         "Content-Type: text/plain\r\nContent-Length: 19\r\n\r\n"
                                         "Service Unavailable";
// After a failed accept (out of file descriptors), the loop waits this long before the next.
constexpr auto AcceptRetryDelay = std::chrono::milliseconds(100);

// The answer to a request that could not be read whole, or none when the peer just went away
// or ran out of time (it gets no answer: it isn't listening or isn't sending).
std::optional<HttpReply> replyToReadError(const beast::error_code& error)
{
    if (error == http::error::header_limit)
        return HttpReply {431, "Request Header Fields Too Large"};
    if (error == http::error::body_limit)
        return HttpReply {413, "Payload Too Large"};
    if (error.category() == beast::error_code(http::error::end_of_stream).category()
        && error != http::error::end_of_stream && error != http::error::partial_message)
        return HttpReply {400, "Bad Request"};
    return std::nullopt;
}

} // namespace

struct HttpServer::Impl {
    Impl(Limits l, Handler h, RequestLog r, Notice n)
        : limits(l)
        , handler(std::move(h))
        , requestLog(std::move(r))
        , notice(std::move(n))
        , workers(l.workerThreads)
    {
    }

    void accept();
    void refuse(tcp::socket socket);
    void closeAll();

    Limits limits;
    Handler handler;
    RequestLog requestLog;
    Notice notice;
    // Loop thread only. Declared before the loop: sessions still owned by queued handlers leave
    // this set when the loop is destroyed.
    std::unordered_set<Session*> sessions;
    bool refusing = false; // the limit was reached and not yet left
    std::atomic<bool> running = false;
    asio::io_context loop {1};
    tcp::acceptor acceptor {loop};
    asio::steady_timer acceptRetry {loop};
    asio::thread_pool workers;
};

// One connection: read a request, hand it to a worker, write the answer, and again while the
// peer keeps the connection alive.
class HttpServer::Session : public std::enable_shared_from_this<Session> {
public:
    Session(Impl& server, tcp::socket socket)
        : m_server(server)
        , m_stream(std::move(socket))
    {
        m_server.sessions.insert(this);
    }
    ~Session() { m_server.sessions.erase(this); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void start() { nextRequest(); }
    void close()
    {
        beast::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        m_stream.close();
    }

private:
    void nextRequest()
    {
        m_parser.emplace();
        m_parser->header_limit(static_cast<std::uint32_t>(m_server.limits.maxHeadBytes));
        m_parser->body_limit(m_server.limits.maxBodyBytes);
        m_waitStarted = Clock::now();
        m_requestStarted.reset();
        readSome();
    }

    // Until the first byte the idle timeout runs; from it, the request deadline.
    void readSome()
    {
        if (!m_requestStarted && m_buffer.size() > 0)
            m_requestStarted = Clock::now();
        m_stream.expires_at(m_requestStarted ? *m_requestStarted + m_server.limits.requestDeadline
                                             : m_waitStarted + m_server.limits.idleTimeout);
        http::async_read_some(m_stream, m_buffer, *m_parser,
            [self = shared_from_this()](beast::error_code error, std::size_t) { self->onRead(error); });
    }

    void onRead(const beast::error_code& error)
    {
        if (error) {
            if (const auto reply = replyToReadError(error)) {
                m_keepAlive = false;
                m_request = {m_parser->get().method_string().empty() ? "-" : std::string(m_parser->get().method_string()),
                             m_parser->get().target().empty() ? "-" : std::string(m_parser->get().target())};
                write(*reply, 11);
                return;
            }
            close();
            return;
        }
        if (!m_parser->is_done()) {
            readSome();
            return;
        }
        const auto& message = m_parser->get();
        m_request = {std::string(message.method_string()), std::string(message.target())};
        m_keepAlive = message.keep_alive();
        const unsigned version = message.version();
        m_stream.expires_never(); // the handler's time is not the peer's
        // The session travels on to the loop, so that it is only ever released there.
        asio::post(m_server.workers, [self = shared_from_this(), version]() mutable {
            HttpReply reply = self->m_server.handler(self->m_request);
            asio::io_context& loop = self->m_server.loop;
            asio::post(loop, [self = std::move(self), reply = std::move(reply), version] { self->write(reply, version); });
        });
    }

    void write(const HttpReply& reply, unsigned version)
    {
        m_response = {};
        m_response.version(version);
        m_response.result(static_cast<unsigned>(reply.status));
        m_response.set(http::field::content_type, PlainText);
        m_response.body() = reply.body;
        m_response.keep_alive(m_keepAlive);
        m_response.prepare_payload();
        // Logged as it is sent: a stop that comes before the write completes still has its line.
        if (m_server.requestLog)
            m_server.requestLog(m_request, reply);
        m_stream.expires_after(m_server.limits.writeDeadline);
        http::async_write(m_stream, m_response,
            [self = shared_from_this()](beast::error_code error, std::size_t) { self->onWritten(error); });
    }

    void onWritten(const beast::error_code& error)
    {
        if (error) {
            close();
            return;
        }
        if (!m_keepAlive) {
            close();
            return;
        }
        nextRequest();
    }

    Impl& m_server;
    beast::tcp_stream m_stream;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    Clock::time_point m_waitStarted;
    std::optional<Clock::time_point> m_requestStarted;
    HttpRequest m_request;
    bool m_keepAlive = false;
    http::response<http::string_body> m_response;
};

void HttpServer::Impl::accept()
{
    acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
        if (error == asio::error::operation_aborted || !acceptor.is_open())
            return;
        if (error) {
            // Out of descriptors, most likely: wait instead of spinning on the same failure.
            acceptRetry.expires_after(AcceptRetryDelay);
            acceptRetry.async_wait([this](beast::error_code waitError) {
                if (!waitError)
                    accept();
            });
            return;
        }
        if (sessions.size() >= limits.maxConnections) {
            refuse(std::move(socket));
        } else {
            refusing = false;
            std::make_shared<Session>(*this, std::move(socket))->start();
        }
        accept();
    });
}

void HttpServer::Impl::refuse(tcp::socket socket)
{
    if (!refusing && notice)
        notice("connection limit (" + std::to_string(limits.maxConnections) + ") reached: refusing new connections");
    refusing = true;
    beast::error_code ignored;
    socket.non_blocking(true, ignored);
    socket.write_some(asio::buffer(Unavailable.data(), Unavailable.size()), ignored);
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
}

void HttpServer::Impl::closeAll()
{
    beast::error_code ignored;
    acceptor.close(ignored);
    for (Session* session : sessions)
        session->close();
}

HttpServer::HttpServer(Limits limits, Handler handler, RequestLog log, Notice notice)
    : m_impl(std::make_unique<Impl>(limits, std::move(handler), std::move(log), std::move(notice)))
{
}

HttpServer::~HttpServer()
{
    stop();
    m_impl->workers.stop();
    m_impl->workers.join();
}

int HttpServer::bind(const std::string& host, int port)
{
    beast::error_code error;
    tcp::resolver resolver(m_impl->loop);
    const auto endpoints = resolver.resolve(host, std::to_string(port), tcp::resolver::passive, error);
    if (error || endpoints.empty())
        return -1;
    tcp::acceptor& acceptor = m_impl->acceptor;
    const tcp::endpoint endpoint = endpoints.begin()->endpoint();
    acceptor.open(endpoint.protocol(), error);
    // SO_REUSEADDR only: a restarted service may reuse a port whose old connections linger in
    // TIME_WAIT, but a second service can't bind a port in use (SO_REUSEPORT would let it).
    if (!error)
        acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error)
        acceptor.bind(endpoint, error);
    if (!error)
        acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
        acceptor.close(error);
        return -1;
    }
    return acceptor.local_endpoint().port();
}

bool HttpServer::serve()
{
    if (!m_impl->acceptor.is_open())
        return false;
    m_impl->running = true;
    m_impl->accept();
    m_impl->loop.run();
    m_impl->running = false;
    // Handlers still running finish; queued ones are dropped with their connections.
    m_impl->workers.stop();
    m_impl->workers.join();
    m_impl->closeAll();
    return true;
}

bool HttpServer::isRunning() const
{
    return m_impl->running;
}

void HttpServer::stop()
{
    m_impl->loop.stop();
}

} // namespace dorvane::devserver
