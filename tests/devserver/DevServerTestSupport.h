#pragma once
// Helpers shared by the service's tests: a temporary folder, an HTTP GET on loopback, and
// percent-encoding as the wizard does it.
#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

namespace dorvane::devserver::test {

struct Reply {
    int status = 0; // 0 when the request failed
    std::string body;
    std::string contentType;
};

// GET `target` (already encoded, sent as it stands) from 127.0.0.1:port.
[[nodiscard]] Reply get(int port, const std::string& target);

// A loopback connection that sends bytes as given and reads what comes back: for what the HTTP
// client won't send (other methods, Expect, a request in pieces).
class RawConnection {
public:
    explicit RawConnection(int port);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    [[nodiscard]] bool connected() const { return m_fd >= 0; }
    void send(std::string_view bytes);
    // Reads until `marker` has arrived, the peer closes or `timeout` passes; all read so far.
    std::string readUntil(std::string_view marker, std::chrono::milliseconds timeout);
    // Reads until the peer closes or `timeout` passes; whether it closed. All read so far in `text`.
    bool readToClose(std::chrono::milliseconds timeout, std::string& text);

private:
    int m_fd = -1;
    std::string m_read;
};

// Keeps A-Z a-z 0-9 - . _ ~ and writes every other byte as %XX.
[[nodiscard]] std::string percentEncoded(std::string_view text);

// A fresh folder removed with everything in it when the object goes.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

[[nodiscard]] std::string readFile(const std::filesystem::path& path);

} // namespace dorvane::devserver::test
