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
// Bytes asked of the socket at a time.
constexpr std::size_t ReadChunk = 4096;
constexpr std::string_view Continue = "HTTP/1.1 100 Continue\r\n\r\n";

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
// peer keeps the connection alive. Every member is touched on the loop thread only.
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

    void write(const HttpReply& reply, unsigned version)
    {
        m_response = {};
        m_response.version(version);
        m_response.result(static_cast<unsigned>(reply.status));
        m_response.set(http::field::content_type, PlainText);
        for (const auto& [name, value] : reply.headers)
            m_response.set(name, value);
        m_response.keep_alive(m_keepAlive);
        if (m_request.method == "HEAD") {
            m_response.content_length(reply.body.size()); // what a GET would carry, without it
        } else {
            m_response.body() = reply.body;
            m_response.prepare_payload();
        }
        // Logged as it is sent: a stop that comes before the write completes still has its line.
        if (m_server.requestLog)
            m_server.requestLog(m_request, reply);
        m_stream.expires_after(m_server.limits.writeDeadline);
        http::async_write(m_stream, m_response,
            [self = shared_from_this()](beast::error_code error, std::size_t) { self->onWritten(error); });
    }

private:
    void nextRequest()
    {
        m_parser.emplace();
        m_parser->header_limit(static_cast<std::uint32_t>(m_server.limits.maxHeadBytes));
        m_parser->body_limit(m_server.limits.maxBodyBytes);
        m_lastReceived = Clock::now();
        m_requestStarted.reset();
        m_continueSent = false;
        parse(); // a pipelined request may be waiting in the buffer already
    }

    // Feeds the parser what the buffer holds, then acts on where the request stands.
    void parse()
    {
        if (!m_requestStarted && m_buffer.size() > 0)
            m_requestStarted = Clock::now();
        beast::error_code error;
        while (m_buffer.size() > 0 && !m_parser->is_done()) {
            const std::size_t used = m_parser->put(m_buffer.data(), error);
            m_buffer.consume(used);
            if (error == http::error::need_more)
                error = {};
            if (error || used == 0)
                break;
        }
        if (error) {
            refuse(error);
            return;
        }
        if (m_parser->is_done()) {
            dispatch();
            return;
        }
        if (m_parser->is_header_done() && !m_continueSent && expectsContinue()) {
            writeContinue();
            return;
        }
        readMore();
    }

    bool expectsContinue() const
    {
        const auto& head = m_parser->get();
        return head.version() >= 11 && beast::iequals(head[http::field::expect], "100-continue");
    }

    // Idle: nothing received for idleTimeout; late: the request not whole within requestDeadline
    // of its first byte. Whichever comes first closes the connection.
    void readMore()
    {
        Clock::time_point deadline = m_lastReceived + m_server.limits.idleTimeout;
        if (m_requestStarted)
            deadline = std::min(deadline, *m_requestStarted + m_server.limits.requestDeadline);
        m_stream.expires_at(deadline);
        m_stream.async_read_some(m_buffer.prepare(ReadChunk),
            [self = shared_from_this()](beast::error_code error, std::size_t size) { self->onRead(error, size); });
    }

    void onRead(const beast::error_code& error, std::size_t size)
    {
        if (error) { // gone, or out of time: no answer, it isn't listening or isn't sending
            close();
            return;
        }
        m_buffer.commit(size);
        m_lastReceived = Clock::now();
        parse();
    }

    void writeContinue()
    {
        m_continueSent = true;
        m_stream.expires_after(m_server.limits.writeDeadline);
        asio::async_write(m_stream, asio::buffer(Continue.data(), Continue.size()),
            [self = shared_from_this()](beast::error_code error, std::size_t) {
                if (error)
                    self->close();
                else
                    self->readMore();
            });
    }

    // A request that can't be read whole is answered and the connection closed.
    void refuse(const beast::error_code& error)
    {
        m_keepAlive = false;
        const auto& head = m_parser->get();
        m_request = {head.method_string().empty() ? "-" : std::string(head.method_string()),
                     head.target().empty() ? "-" : std::string(head.target())};
        write(replyToParseError(error), 11);
    }

    void dispatch();

    void onWritten(const beast::error_code& error)
    {
        if (error || !m_keepAlive) {
            close();
            return;
        }
        nextRequest();
    }

    static HttpReply replyToParseError(const beast::error_code& error)
    {
        if (error == http::error::header_limit)
            return {431, "Request Header Fields Too Large"};
        if (error == http::error::body_limit)
            return {413, "Payload Too Large"};
        return {400, "Bad Request"};
    }

    Impl& m_server;
    beast::tcp_stream m_stream;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    Clock::time_point m_lastReceived;
    std::optional<Clock::time_point> m_requestStarted;
    bool m_continueSent = false;
    HttpRequest m_request;
    bool m_keepAlive = false;
    http::response<http::string_body> m_response;
};

// What a Responder stands for: the session waiting for its answer. The session is only ever
// released on the loop thread, so this hands its share there when it goes, whichever thread drops
// the last Responder.
struct Responder::Pending {
    Pending(asio::io_context& loop, std::shared_ptr<HttpServer::Session> session, unsigned version)
        : loop(loop)
        , session(std::move(session))
        , version(version)
    {
    }
    ~Pending()
    {
        asio::post(loop, [session = std::move(session), answered = answered.load()] {
            if (!answered)
                session->close();
        });
    }
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;

    asio::io_context& loop;
    std::shared_ptr<HttpServer::Session> session;
    unsigned version;
    std::atomic<bool> answered = false;
};

Responder::Responder(std::shared_ptr<Pending> pending)
    : m_pending(std::move(pending))
{
}

void Responder::operator()(HttpReply reply) const
{
    if (!m_pending || m_pending->answered.exchange(true))
        return;
    asio::post(m_pending->loop, [session = m_pending->session, reply = std::move(reply), version = m_pending->version] {
        session->write(reply, version);
    });
}

void HttpServer::Session::dispatch()
{
    const auto& message = m_parser->get();
    m_request = {std::string(message.method_string()), std::string(message.target())};
    m_keepAlive = message.keep_alive();
    m_stream.expires_never(); // the handler's time is not the peer's
    auto pending = std::make_shared<Responder::Pending>(m_server.loop, shared_from_this(), message.version());
    // The worker gets a copy of the request: the session reads the next one once this is answered.
    asio::post(m_server.workers, [&server = m_server, request = m_request, responder = Responder(std::move(pending))]() mutable {
        server.handler(request, std::move(responder));
    });
}

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
