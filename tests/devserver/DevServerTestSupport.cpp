#include "DevServerTestSupport.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <fstream>
#include <httplib.h>
#include <sstream>
#include <stdexcept>

namespace dorvane::devserver::test {

Reply get(int port, const std::string& target)
{
    httplib::Client client("127.0.0.1", port);
    client.set_url_encode(false);
    client.set_keep_alive(false);
    client.set_connection_timeout(5, 0);
    client.set_read_timeout(30, 0);
    const auto result = client.Get(target.c_str());
    if (!result)
        return {};
    return {result->status, result->body, result->get_header_value("Content-Type")};
}

RawConnection::RawConnection(int port)
{
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_fd >= 0 && ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(m_fd);
        m_fd = -1;
    }
}

RawConnection::~RawConnection()
{
    if (m_fd >= 0)
        close(m_fd);
}

void RawConnection::send(std::string_view bytes)
{
    if (m_fd >= 0)
        static_cast<void>(::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL));
}

std::string RawConnection::readUntil(std::string_view marker, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_fd >= 0 && m_read.find(marker) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p {m_fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buffer[4096];
        const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        m_read.append(buffer, static_cast<size_t>(n));
    }
    return m_read;
}

bool RawConnection::readToClose(std::chrono::milliseconds timeout, std::string& text)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool closed = false;
    while (m_fd >= 0 && !closed) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p {m_fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buffer[4096];
        const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            closed = true;
        else
            m_read.append(buffer, static_cast<size_t>(n));
    }
    text = m_read;
    return closed;
}

std::string percentEncoded(std::string_view text)
{
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
            || c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out += c;
        } else {
            out += '%';
            out += Hex[byte >> 4];
            out += Hex[byte & 0x0F];
        }
    }
    return out;
}

TemporaryFolder::TemporaryFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "dorvane-devserver-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TemporaryFolder::~TemporaryFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

} // namespace dorvane::devserver::test
