#include "DevServerTestSupport.h"

#include <cstdlib>
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
