/// @file
/// How a component describes one published property to the layout reader and writer: its name,
/// its kind, how to read and write it through the component's own getter and setter, and the
/// streamed default that the writer leaves out.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

/// The kind of a published property's value.
enum class TPropertyKind {
    Integer,    ///< a 32-bit signed integer
    Boolean,    ///< true or false
    String,     ///< an 8-bit text
    StringList, ///< the lines of a TStringList
    Set,        ///< a set of an enumeration (TSetValue)
};

/// A set value: member i of the set's type is bit i.
struct TSetValue {
    std::uint32_t Bits = 0;                            ///< member i present: bit i set
    bool operator==(const TSetValue&) const = default; ///< the same members
};

/// Integer, Boolean, String, StringList (its lines) or Set, matching TPropertyKind.
using TPropertyValue = std::variant<std::int32_t, bool, std::string, std::vector<std::string>, TSetValue>;

/// One published property of a component, as TComponent::PublishedProperties lists it.
struct TPropertyInfo {
    std::string Name;                                 ///< the property's name in the layout
    TPropertyKind Kind = TPropertyKind::Integer;      ///< the kind of its value
    std::function<TPropertyValue()> Read;             ///< reads it through the component's getter
    std::function<void(const TPropertyValue&)> Write; ///< writes it through the component's setter
    std::optional<TPropertyValue> Default; ///< none: always written
    std::vector<std::string> SetMembers;   ///< Set kind: member names, member i = bit i
};
