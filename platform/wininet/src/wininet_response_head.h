// Inside the Internet client layer: HTTP heads. ResponseHead follows a response head as libcurl
// hands it over line by line (status, size, Location, the refusals of a malformed head); the
// functions read fields out of header lines and head blocks, for the head that arrives and for
// the callers' queries and headers alike.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace wininet {

// The value of a "Name: value" line whose name is name (ASCII case ignored), with the blanks
// after the colon left out; nullopt for a line of another name.
[[nodiscard]] std::optional<std::string_view> fieldValue(std::string_view line, std::string_view name);
// The value of the first field of that name in a head block (CR LF lines, the status line first).
[[nodiscard]] std::optional<std::string> findField(const std::string& block, std::string_view name);
// The three-digit code of a status line ("HTTP/1.1 404 Not Found": 404); 0 when it has none.
[[nodiscard]] long statusCodeOf(std::string_view statusLine);
// The reason text of a block's status line ("Not Found").
[[nodiscard]] std::string statusTextOf(const std::string& block);
// The block's lines, each ended by a NUL, and one more NUL at the end.
[[nodiscard]] std::string nulSeparated(const std::string& block);

class ResponseHead {
public:
    // A server may send at most this much head, all its lines together.
    static constexpr std::size_t sizeLimit = 256 << 10;

    enum class Line {
        Status,  // a status line: a new head begins
        Field,   // a header line
        End,     // the empty line that ends the head
        Refused, // too large; a status line other than "HTTP/d.d ddd reason", or 101; a folded
                 // line or a control byte; a length that is no plain number, conflicting lengths
                 // or Locations (ways to smuggle a response)
    };

    // Takes one line as libcurl hands it over, line end included.
    Line take(std::string_view raw);

    long status() const { return m_status; }
    bool interim() const { return m_status / 100 == 1; }
    // The head so far: each line ended by CR LF, without the closing empty line.
    const std::string& block() const { return m_block; }
    // Bytes received of this head, line ends included.
    std::size_t bytes() const { return m_bytes; }
    const std::string& location() const { return m_location; }
    // The empty line ending the head came.
    bool complete() const { return m_complete; }
    // A line of this head was refused.
    bool refused() const { return m_refused; }

private:
    Line refuse();

    long m_status = 0;
    std::string m_block;
    std::size_t m_bytes = 0;
    std::string m_location;
    std::string m_contentLength;
    bool m_complete = false;
    bool m_refused = false;
};

} // namespace wininet
