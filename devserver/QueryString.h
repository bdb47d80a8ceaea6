#pragma once
// The service's one reading of a request target. The handlers take their parameters from it and
// the log masks by it, so the log hides whatever the service read as a password (and any
// parameter so named in another letter case), however a client spelled the name.
//
//   const RequestTarget target = RequestTarget::parse("/p?user%70assword=x&b");
//   target.path();                         // "/p"
//   target.value("userpassword");          // "x"
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dorvane::devserver {

// %XX as its byte, %uXXXX as the character's UTF-8 bytes (an old form some clients still send),
// and, when plusIsSpace, "+" as a space. Anything else, a stray "%" included, stays as it is.
[[nodiscard]] std::string percentDecoded(std::string_view text, bool plusIsSpace);

class RequestTarget {
public:
    struct Parameter {
        std::string_view rawName;  // as sent, inside the target given to parse()
        std::string_view rawValue; // as sent; empty without "="
        bool hasValue = false;     // there was an "="
        std::string name;          // decoded
        std::string value;         // decoded
    };

    // Path before "?", query pairs split at "&" and at the first "=" of each pair, every pair
    // kept (so the target can be written back as it came). The views in parameters() point into `target`, which must outlive
    // the result.
    [[nodiscard]] static RequestTarget parse(std::string_view target);

    // Decoded; of an absolute-form target ("http://host/p?q"), the path alone.
    [[nodiscard]] const std::string& path() const { return m_path; }
    [[nodiscard]] bool hasQuery() const { return m_hasQuery; }
    [[nodiscard]] std::string_view rawPath() const { return m_rawPath; }
    [[nodiscard]] const std::vector<Parameter>& parameters() const { return m_parameters; }
    // The first parameter of that name, decoded.
    [[nodiscard]] std::optional<std::string> value(std::string_view name) const;

private:
    std::string_view m_rawPath;
    std::string m_path;
    bool m_hasQuery = false;
    std::vector<Parameter> m_parameters;
};

} // namespace dorvane::devserver
