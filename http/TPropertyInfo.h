// How a component describes one published property to the layout reader and writer: its name,
// its kind, how to read and write it through the component's own getter and setter, and the
// streamed default that the writer leaves out.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

enum class TPropertyKind { Integer, Boolean, String, StringList, Set };

// A set value: member i of the set's type is bit i.
struct TSetValue {
    std::uint32_t Bits = 0;
    bool operator==(const TSetValue&) const = default;
};

// Integer, Boolean, String, StringList (its lines) or Set, matching TPropertyKind.
using TPropertyValue = std::variant<std::int32_t, bool, std::string, std::vector<std::string>, TSetValue>;

struct TPropertyInfo {
    std::string Name;
    TPropertyKind Kind = TPropertyKind::Integer;
    std::function<TPropertyValue()> Read;
    std::function<void(const TPropertyValue&)> Write;
    std::optional<TPropertyValue> Default; // none: always written
    std::vector<std::string> SetMembers;   // Set kind: member names, member i = bit i
};
