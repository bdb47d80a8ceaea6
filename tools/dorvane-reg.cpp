// dorvane-reg: reads and changes the settings hive from the command line, with the familiar syntax.
//
//   dorvane-reg query  KEY [/v NAME | /ve] [/s]
//   dorvane-reg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
//   dorvane-reg delete KEY [/v NAME | /ve | /va] /f
//
// KEY starts with HKCU or HKEY_CURRENT_USER. Exit status 0 on success; 1 with a one-line
// message on stderr otherwise. There is no prompt (the tool runs in scripts without a
// terminal), so overwriting a value and deleting need /f.
#include "winreg.h"

#include "ascii_text.h"
#include "registry_failure.h"
#include "registry_value.h"
#include "unicode_text.h"

#include <clocale>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <langinfo.h>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using platform::ascii::equalIgnoringCase;

constexpr const char* kUsage =
    "Usage:\n"
    "  dorvane-reg query  KEY [/v NAME | /ve] [/s]\n"
    "  dorvane-reg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  dorvane-reg delete KEY [/v NAME | /ve | /va] /f\n"
    "\n"
    "KEY      HKCU\\SubKey or HKEY_CURRENT_USER\\SubKey\n"
    "TYPE     REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_BINARY, REG_NONE\n"
    "DATA     REG_DWORD: decimal or 0x hex; REG_BINARY and REG_NONE: hex digits;\n"
    "         REG_MULTI_SZ: strings separated by \\0 (or by the /s SEPARATOR character)\n"
    "Strings that are not printable text in this locale (UTF-8 text in a UTF-8 locale, ASCII\n"
    "otherwise), and the wizard's scrambled password, are shown as hex:XX... (the bytes before the\n"
    "final NUL).\n";

constexpr DWORD kMaxNameBuffer = 16384;
// The longest key name (one part of a path) and value name the hive takes, in bytes: a name is
// counted in the code page's units, and a letter beyond ASCII takes two to four of them in UTF-8.
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;
// The most keys a path below HKCU may name.
constexpr size_t kMaxKeyDepth = 512;

// A failure the tool reports on stderr before it exits with status 1.
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A registry call's failure, with its code.
class CallFailure : public Failure {
public:
    CallFailure(const std::string& text, LONG code) : Failure(text), code(code) {}
    LONG code;
};

// Another process may delete a key between its creation and the write that follows, or add a
// subkey to a tree being deleted; the operation then starts over, this many times at most.
constexpr int kRaceAttempts = 10;

// What happened, in the words the tool uses for each code.
std::string errorText(LONG code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
        return "The system was unable to find the specified registry key or value.";
    case ERROR_PATH_NOT_FOUND:
        return "The settings hive can't be reached.";
    case ERROR_ACCESS_DENIED:
        return "Access is denied.";
    case ERROR_NOT_ENOUGH_MEMORY:
        return "Not enough memory is available.";
    case ERROR_INVALID_PARAMETER:
        return "The parameter is incorrect.";
    case ERROR_DISK_FULL:
        return "There is not enough space on the disk.";
    case ERROR_BUSY:
        return "The settings hive is busy; try again.";
    case ERROR_BADDB:
        return "The settings hive is damaged or is not a settings hive; it was left as it is.";
    case ERROR_CANTOPEN:
        return "The settings hive can't be opened.";
    case ERROR_CANTREAD:
        return "The settings hive can't be read.";
    case ERROR_CANTWRITE:
        return "The settings hive can't be written.";
    case ERROR_KEY_DELETED:
        return "The key was deleted meanwhile.";
    default:
        return "The operation failed.";
    }
}

// Codes whose sentence says no more than the hive's own account of its file does ("The settings
// hive is damaged..." beside "The settings hive /x/registry.db is damaged..."): with that account
// at hand, the sentence would only repeat it.
bool detailSaysItAll(LONG code)
{
    return code == ERROR_BADDB || code == ERROR_BUSY || code == ERROR_CANTOPEN || code == ERROR_CANTREAD
        || code == ERROR_CANTWRITE || code == ERROR_PATH_NOT_FOUND;
}

// The code's sentence and what the hive said about its file, each once, then the code itself for
// those who look it up. A missing key or value needs no more than its sentence.
std::string failureText(LONG code)
{
    const std::string detail = RegGetLastFailureText();
    std::string text = detail.empty() || !detailSaysItAll(code) ? errorText(code) : std::string();
    if (!detail.empty())
        text += (text.empty() ? "" : " ") + detail;
    if (code != ERROR_FILE_NOT_FOUND)
        text += " (system error " + std::to_string(code) + ")";
    return text;
}

void check(LONG code)
{
    if (code != ERROR_SUCCESS)
        throw CallFailure(failureText(code), code);
}

// Whether the locale's characters are UTF-8 (LC_CTYPE, read at start): then any printable UTF-8
// shows as text; otherwise only printable ASCII does.
bool utf8Locale = false;

void readLocale()
{
    std::setlocale(LC_CTYPE, "");
    utf8Locale = std::string_view(nl_langinfo(CODESET)) == "UTF-8";
    std::setlocale(LC_CTYPE, "C"); // nothing else here depends on the locale
}

// How many leading bytes of text show as themselves in this locale.
size_t printableLength(std::string_view text)
{
    if (utf8Locale)
        return platform::unicode::printableLength(text);
    size_t length = 0;
    while (length < text.size() && text[length] >= 0x20 && text[length] < 0x7F)
        ++length;
    return length;
}

bool isPrintable(std::string_view text)
{
    return printableLength(text) == text.size();
}

// A name as listed: control characters written as \xNN, so that a name holding a line break can't
// pass for more lines of the listing (a forged value or key); in a UTF-8 locale, so is every byte
// that isn't printable UTF-8 (a C1 control, a bidirectional override that would show the name
// reversed, a byte of no character).
std::string shownName(std::string_view name)
{
    const auto shownAsItself = [](std::string_view rest) -> size_t {
        if (utf8Locale)
            return platform::unicode::printableLength(rest);
        size_t length = 0;
        while (length < rest.size() && static_cast<unsigned char>(rest[length]) >= 0x20 && rest[length] != 0x7F)
            ++length;
        return length;
    };
    std::string shown;
    while (!name.empty()) {
        const size_t length = shownAsItself(name);
        shown += name.substr(0, length);
        name.remove_prefix(length);
        if (!name.empty()) {
            shown += "\\x";
            platform::ascii::appendHex(shown, static_cast<unsigned char>(name.front()));
            name.remove_prefix(1);
        }
    }
    return shown;
}

// -- the command line -------------------------------------------------------------------------

struct KeyName {
    std::string subKey;  // below HKEY_CURRENT_USER, empty for the root itself
    std::string display; // as printed: HKEY_CURRENT_USER\...
};

struct Command {
    std::string operation;
    KeyName key;
    std::optional<std::string> valueName; // "" for /ve
    bool allValues = false;               // /va
    bool force = false;                   // /f
    bool recursive = false;               // /s on query
    std::optional<std::string> type;
    std::optional<std::string> data;
    std::optional<std::string> separator; // /s on add
};

KeyName parseKey(const std::string& text)
{
    const auto slash = text.find('\\');
    const std::string root = text.substr(0, slash);
    if (!equalIgnoringCase(root, "HKCU") && !equalIgnoringCase(root, "HKEY_CURRENT_USER"))
        throw Failure("Only HKCU (HKEY_CURRENT_USER) is available, not '" + root + "'.");
    std::string subKey = slash == std::string::npos ? std::string() : text.substr(slash + 1);
    if (!subKey.empty() && subKey.back() == '\\')
        subKey.pop_back();
    // Said here in words: the hive would only answer "The parameter is incorrect."
    for (size_t start = 0, depth = 1; !subKey.empty() && start <= subKey.size(); ++depth) {
        const size_t end = std::min(subKey.find('\\', start), subKey.size());
        if (depth > kMaxKeyDepth)
            throw Failure("A key path is at most " + std::to_string(kMaxKeyDepth) + " keys deep, not "
                          + std::to_string(std::count(subKey.begin(), subKey.end(), '\\') + 1) + ".");
        if (end == start)
            throw Failure("The key '" + shownName(text) + "' has an empty name between two backslashes.");
        if (end - start > kMaxKeyName)
            throw Failure("A key name is at most " + std::to_string(kMaxKeyName) + " bytes long, not "
                          + std::to_string(end - start) + ".");
        start = end + 1;
    }
    return {subKey, subKey.empty() ? "HKEY_CURRENT_USER" : "HKEY_CURRENT_USER\\" + shownName(subKey)};
}

// The options each operation takes. Any other, a repeated one, or two of /v, /ve and /va are
// refused rather than ignored or overridden: "delete KEY /v a /va /f" emptying the whole key, or
// a second /d replacing the first, would do something the command did not say, and can't be undone.
struct OptionRule {
    const char* name;
    const char* operations; // the operations it goes with, each between blanks
};
constexpr OptionRule kOptions[] = {
    {"/v", " query add delete "}, {"/ve", " query add delete "}, {"/va", " delete "}, {"/f", " add delete "},
    {"/t", " add "},              {"/d", " add "},               {"/s", " query add "},
};

// The option spelled as in the table (/ or -, any letter case), or nullptr when there is none.
const OptionRule* findOption(const std::string& option)
{
    if (option.size() < 2 || (option[0] != '/' && option[0] != '-'))
        return nullptr;
    for (const auto& rule : kOptions) {
        if (equalIgnoringCase(std::string_view(option).substr(1), std::string_view(rule.name).substr(1)))
            return &rule;
    }
    return nullptr;
}

Command parseCommandLine(int argc, char** argv)
{
    if (argc < 3)
        throw Failure("Invalid syntax. Type \"dorvane-reg /?\" for usage.");
    Command command;
    command.operation = argv[1];
    std::string operation;
    for (const char* known : {"query", "add", "delete"}) {
        if (equalIgnoringCase(command.operation, known))
            operation = known;
    }
    if (operation.empty())
        throw Failure("Unknown operation '" + command.operation + "'. Type \"dorvane-reg /?\" for usage.");
    command.key = parseKey(argv[2]);
    std::vector<std::string_view> given;
    for (int i = 3; i < argc; ++i) {
        const std::string option = argv[i];
        const OptionRule* rule = findOption(option);
        if (rule == nullptr)
            throw Failure("Invalid option '" + option + "'. Type \"dorvane-reg /?\" for usage.");
        const std::string_view name = rule->name;
        if (std::string_view(rule->operations).find(" " + operation + " ") == std::string_view::npos)
            throw Failure("Option " + std::string(name) + " does not go with " + operation
                          + ". Type \"dorvane-reg /?\" for usage.");
        if (std::find(given.begin(), given.end(), name) != given.end())
            throw Failure("Option " + std::string(name) + " is given twice.");
        given.push_back(name);
        const auto argument = [&]() -> std::string {
            if (i + 1 >= argc)
                throw Failure("Option " + option + " needs an argument.");
            return argv[++i];
        };
        if (name == "/v") {
            command.valueName = argument();
            if (command.valueName->size() > kMaxValueName)
                throw Failure("A value name is at most " + std::to_string(kMaxValueName) + " bytes long, not "
                              + std::to_string(command.valueName->size()) + ".");
        } else if (name == "/ve")
            command.valueName = std::string();
        else if (name == "/va")
            command.allValues = true;
        else if (name == "/f")
            command.force = true;
        else if (name == "/t")
            command.type = argument();
        else if (name == "/d")
            command.data = argument();
        else if (name == "/s" && operation == "add")
            command.separator = argument();
        else
            command.recursive = true;
    }
    if (std::count_if(given.begin(), given.end(), [](std::string_view name) {
            return name == "/v" || name == "/ve" || name == "/va";
        }) > 1)
        throw Failure("Give one of /v NAME, /ve and /va, not more.");
    return command;
}

// -- showing values ---------------------------------------------------------------------------

struct TypeName {
    DWORD type;
    const char* name;
};
constexpr TypeName kTypes[] = {
    {REG_SZ, "REG_SZ"},         {REG_EXPAND_SZ, "REG_EXPAND_SZ"}, {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {REG_DWORD, "REG_DWORD"},   {REG_BINARY, "REG_BINARY"},       {REG_NONE, "REG_NONE"},
};

std::string typeName(DWORD type)
{
    for (const auto& entry : kTypes) {
        if (entry.type == type)
            return entry.name;
    }
    return "REG_UNKNOWN(" + std::to_string(type) + ")";
}

std::optional<DWORD> typeFromName(const std::string& name)
{
    for (const auto& entry : kTypes) {
        if (equalIgnoringCase(name, entry.name))
            return entry.type;
    }
    return std::nullopt;
}

std::string hex(std::string_view bytes)
{
    std::string text;
    for (const char c : bytes)
        platform::ascii::appendHex(text, static_cast<unsigned char>(c));
    return text;
}

std::string_view withoutTerminator(std::string_view bytes)
{
    if (!bytes.empty() && bytes.back() == '\0')
        bytes.remove_suffix(1);
    return bytes;
}

// Whether the data shows as text: a string shows as text when it is printable, else as its bytes
// in hex, marked so that it can't be mistaken for text. The wizard's scrambled password always
// shows as hex: its bytes may happen to be printable UTF-8 ("C)" scrambles to "é").
enum class Shown { AsText, AsHex };

std::string showString(std::string_view bytes, Shown shown)
{
    const std::string_view text = withoutTerminator(bytes);
    return shown == Shown::AsText && isPrintable(text) ? std::string(text) : "hex:" + hex(text);
}

std::string showMultiString(std::string_view bytes)
{
    std::string_view list = withoutTerminator(withoutTerminator(bytes));
    std::string shown;
    while (true) {
        const auto end = list.find('\0');
        const std::string_view item = list.substr(0, end);
        if (!isPrintable(item))
            return "hex:" + hex(withoutTerminator(bytes));
        shown += item;
        if (end == std::string_view::npos)
            return shown;
        shown += "\\0";
        list.remove_prefix(end + 1);
    }
}

std::string showData(DWORD type, std::string_view bytes, Shown shown)
{
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        return showString(bytes, shown);
    case REG_MULTI_SZ:
        return showMultiString(bytes);
    case REG_DWORD:
        if (bytes.size() == 4) {
            DWORD value = 0;
            for (int i = 3; i >= 0; --i)
                value = (value << 8) | static_cast<unsigned char>(bytes[static_cast<size_t>(i)]);
            char text[16];
            std::snprintf(text, sizeof text, "0x%x", value);
            return text;
        }
        return hex(bytes);
    default:
        return hex(bytes);
    }
}

// Where the wizard keeps the password it scrambled: a key path and a value name, compared as the
// hive compares them.
constexpr std::string_view kPasswordKey = "Software\\Dorvane Pro\\Settings";
constexpr std::string_view kPasswordValue = "PassWord";

bool sameName(std::string_view a, std::string_view b)
{
    return platform::unicode::caseFolded(a) == platform::unicode::caseFolded(b);
}

void printValue(const std::string& subKey, const std::string& name, DWORD type, const std::string& data)
{
    const bool password = sameName(subKey, kPasswordKey) && sameName(name, kPasswordValue);
    std::printf("    %s    %s    %s\n", name.empty() ? "(Default)" : shownName(name).c_str(), typeName(type).c_str(),
                showData(type, data, password ? Shown::AsHex : Shown::AsText).c_str());
}

// -- the registry, with handles closed on every path --------------------------------------------

class Key {
public:
    Key(const std::string& subKey, REGSAM access) { check(RegOpenKeyExA(HKEY_CURRENT_USER, subKey.c_str(), 0, access, &m_key)); }
    explicit Key(HKEY key) : m_key(key) {}
    ~Key() { RegCloseKey(m_key); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    static Key create(const std::string& subKey)
    {
        HKEY key = nullptr;
        check(RegCreateKeyExA(HKEY_CURRENT_USER, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr));
        return Key(key);
    }

    HKEY get() const { return m_key; }

    // The value's type and bytes; nullopt when it does not exist.
    std::optional<std::pair<DWORD, std::string>> read(const std::string& name) const
    {
        DWORD type = 0;
        std::string data;
        const LONG rc = RegReadValue(m_key, name.c_str(), type, data);
        if (rc == ERROR_FILE_NOT_FOUND)
            return std::nullopt;
        check(rc);
        return std::make_pair(type, data);
    }

    struct Value {
        std::string name;
        DWORD type = 0;
        std::string data;
    };

    // Every value with its data, read by position rather than by name: a hive written by release
    // 1.0.0 may hold two values whose names only now compare equal, and by name both would read as
    // the first.
    std::vector<Value> values() const
    {
        std::vector<Value> values;
        std::vector<char> name(kMaxNameBuffer + 1);
        std::string data;
        for (DWORD index = 0;; ++index) {
            for (int attempt = 1;; ++attempt) {
                auto nameLength = static_cast<DWORD>(name.size());
                auto size = static_cast<DWORD>(data.size());
                DWORD type = 0;
                const LONG rc = RegEnumValueA(m_key, index, name.data(), &nameLength, nullptr, &type,
                                              reinterpret_cast<BYTE*>(data.data()), &size);
                if (rc == ERROR_NO_MORE_ITEMS)
                    return values;
                if (rc == ERROR_MORE_DATA && attempt < kRaceAttempts) { // the data grew meanwhile
                    data.resize(size);
                    continue;
                }
                check(rc);
                values.push_back({std::string(name.data(), nameLength), type, data.substr(0, size)});
                break;
            }
        }
    }

    std::vector<std::string> valueNames() const
    {
        std::vector<std::string> names;
        std::vector<char> name(kMaxNameBuffer + 1);
        for (DWORD index = 0;; ++index) {
            auto length = static_cast<DWORD>(name.size());
            const LONG rc = RegEnumValueA(m_key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
            if (rc == ERROR_NO_MORE_ITEMS)
                return names;
            check(rc);
            names.emplace_back(name.data(), length);
        }
    }

    std::vector<std::string> subkeyNames() const
    {
        std::vector<std::string> names;
        std::vector<char> name(kMaxNameBuffer + 1);
        for (DWORD index = 0;; ++index) {
            auto length = static_cast<DWORD>(name.size());
            const LONG rc = RegEnumKeyExA(m_key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
            if (rc == ERROR_NO_MORE_ITEMS)
                return names;
            check(rc);
            names.emplace_back(name.data(), length);
        }
    }

private:
    HKEY m_key = nullptr;
};

std::string childPath(const std::string& parent, const std::string& child)
{
    return parent.empty() ? child : parent + "\\" + child;
}

// -- operations -------------------------------------------------------------------------------

void printKey(const std::string& subKey, const std::string& display, bool recursive)
{
    const Key key(subKey, KEY_READ);
    std::printf("\n%s\n", display.c_str());
    for (const auto& value : key.values())
        printValue(subKey, value.name, value.type, value.data);
    std::vector<std::string> listed; // folded names of the subkeys listed so far
    for (const auto& child : key.subkeyNames()) {
        if (!recursive) {
            std::printf("\n%s\\%s", display.c_str(), shownName(child).c_str());
            continue;
        }
        // A subkey whose name only now compares equal to an earlier one's (a hive of release
        // 1.0.0) can't be opened by name until that one is gone; listing the earlier one again
        // under its name would show a key that isn't there.
        std::string folded = platform::unicode::caseFolded(child);
        if (std::find(listed.begin(), listed.end(), folded) != listed.end()) {
            std::fflush(stdout);
            std::fprintf(stderr, "Note: %s\\%s is not listed: its name differs from a key listed above only in "
                                 "letter case, and that key is the one its name opens.\n",
                         display.c_str(), shownName(child).c_str());
            continue;
        }
        listed.push_back(std::move(folded));
        printKey(childPath(subKey, child), display + "\\" + shownName(child), true);
    }
    if (!recursive)
        std::printf("\n");
}

void query(const Command& command)
{
    if (!command.valueName) {
        printKey(command.key.subKey, command.key.display, command.recursive);
        return;
    }
    const Key key(command.key.subKey, KEY_QUERY_VALUE);
    const auto value = key.read(*command.valueName);
    if (!value)
        throw Failure(errorText(ERROR_FILE_NOT_FOUND));
    std::printf("\n%s\n", command.key.display.c_str());
    printValue(command.key.subKey, *command.valueName, value->first, value->second);
    std::printf("\n");
}

DWORD parseDword(const std::string& text)
{
    const bool isHex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = isHex ? text.substr(2) : text;
    const std::string_view allowed = isHex ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.empty() || digits.find_first_not_of(allowed) != std::string::npos || digits.size() > 10)
        throw Failure("REG_DWORD data must be a decimal number or 0x followed by hex digits, not '" + text + "'.");
    const unsigned long long value = std::strtoull(digits.c_str(), nullptr, isHex ? 16 : 10);
    if (value > 0xFFFFFFFFull)
        throw Failure("REG_DWORD data '" + text + "' is larger than 0xffffffff.");
    return static_cast<DWORD>(value);
}

std::string parseHex(const std::string& text)
{
    if (text.size() % 2 != 0 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        throw Failure("Binary data must be pairs of hex digits, not '" + text + "'.");
    std::string bytes;
    for (size_t i = 0; i < text.size(); i += 2)
        bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    return bytes;
}

std::string multiStringBytes(const std::string& text, const std::optional<std::string>& separator)
{
    if (separator && separator->size() != 1)
        throw Failure("The /s separator must be one character.");
    const std::string split = separator ? *separator : "\\0";
    std::string bytes;
    size_t start = 0;
    while (!text.empty()) {
        const auto end = text.find(split, start);
        const std::string item = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (item.empty())
            throw Failure("REG_MULTI_SZ data can't hold an empty string.");
        bytes += item;
        bytes += '\0';
        if (end == std::string::npos)
            break;
        start = end + split.size();
    }
    bytes += '\0';
    return bytes;
}

// The bytes stored for /d DATA; a string keeps its terminating NUL.
std::string encodeData(DWORD type, const std::string& text, const std::optional<std::string>& separator)
{
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        return text + '\0';
    case REG_MULTI_SZ:
        return multiStringBytes(text, separator);
    case REG_DWORD: {
        const DWORD value = parseDword(text);
        std::string bytes(4, '\0');
        for (size_t i = 0; i < 4; ++i)
            bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
        return bytes;
    }
    default:
        return parseHex(text);
    }
}

void add(const Command& command)
{
    // Data without a value to hold it would be dropped while the tool reported success.
    if (!command.valueName && (command.data || command.type || command.separator))
        throw Failure("/d, /t and /s need the value they are for: add /v NAME, or /ve for the default value. "
                      "Type \"dorvane-reg /?\" for usage.");
    DWORD type = REG_SZ;
    if (command.type) {
        const auto known = typeFromName(*command.type);
        if (!known)
            throw Failure("Unknown type '" + *command.type + "'. Type \"dorvane-reg /?\" for usage.");
        type = *known;
    }
    // The data is checked before the hive is touched, so bad input changes nothing.
    const std::string bytes = encodeData(type, command.data.value_or(std::string()), command.separator);
    for (int attempt = 1;; ++attempt) {
        try {
            const Key key = Key::create(command.key.subKey);
            if (command.valueName) {
                if (!command.force && key.read(*command.valueName))
                    throw Failure("The value '" + *command.valueName + "' already exists; add /f to overwrite it.");
                check(RegSetValueExA(key.get(), command.valueName->c_str(), 0, type,
                                     reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size())));
            }
            break;
        } catch (const CallFailure& failure) {
            if (failure.code != ERROR_KEY_DELETED || attempt == kRaceAttempts)
                throw;
        }
    }
    std::printf("The operation completed successfully.\n");
}

// A key that is gone, whoever deleted it, counts as deleted; one that gained a subkey meanwhile
// is emptied again.
void deleteTree(const std::string& subKey)
{
    for (int attempt = 1;; ++attempt) {
        std::vector<std::string> children;
        try {
            const Key key(subKey, KEY_READ);
            children = key.subkeyNames();
        } catch (const CallFailure& failure) {
            if (failure.code == ERROR_FILE_NOT_FOUND || failure.code == ERROR_KEY_DELETED)
                return;
            throw;
        }
        for (const auto& child : children)
            deleteTree(childPath(subKey, child));
        const LONG rc = RegDeleteKeyA(HKEY_CURRENT_USER, subKey.c_str());
        if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND)
            return;
        if (rc != ERROR_ACCESS_DENIED || attempt == kRaceAttempts)
            check(rc);
    }
}

void remove(const Command& command)
{
    if (!command.force)
        throw Failure("dorvane-reg delete needs /f: there is no prompt to confirm with.");
    if (command.valueName || command.allValues) {
        const Key key(command.key.subKey, KEY_QUERY_VALUE | KEY_SET_VALUE);
        const auto names = command.allValues ? key.valueNames() : std::vector<std::string>{*command.valueName};
        for (const auto& name : names)
            check(RegDeleteValueA(key.get(), name.c_str()));
    } else {
        if (command.key.subKey.empty())
            throw Failure("The root key can't be deleted.");
        { const Key exists(command.key.subKey, KEY_READ); } // a missing key is reported, not ignored
        deleteTree(command.key.subKey);
    }
    std::printf("The operation completed successfully.\n");
}

void run(const Command& command)
{
    if (equalIgnoringCase(command.operation, "query"))
        query(command);
    else if (equalIgnoringCase(command.operation, "add"))
        add(command);
    else
        remove(command);
}

} // namespace

int main(int argc, char** argv)
{
    readLocale();
    // "/?" alone or after an operation ("dorvane-reg query /?"), as the familiar tool takes it.
    const auto asksForHelp = [](std::string_view argument) {
        return argument == "/?" || argument == "-?" || argument == "--help";
    };
    if ((argc == 2 && asksForHelp(argv[1])) || (argc == 3 && asksForHelp(argv[2]))) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    try {
        run(parseCommandLine(argc, argv));
        return std::fflush(stdout) == 0 ? 0 : 1;
    } catch (const Failure& failure) {
        std::fprintf(stderr, "ERROR: %s\n", failure.what());
    } catch (const std::exception& exception) {
        std::fprintf(stderr, "ERROR: %s\n", exception.what());
    }
    return 1;
}
