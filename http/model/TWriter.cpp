#include "TWriter.h"

#include <string>
#include <variant>

#include "TComponent.h"

namespace {

// Printable bytes go between quotes; control bytes and the quote's own doubling follow the
// reader's rules, so any string survives a round trip.
std::string QuotedString(const std::string& value)
{
    if (value.empty())
        return "''";
    std::string text;
    bool inQuotes = false;
    for (char c : value) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20) {
            if (inQuotes)
                text += '\'';
            inQuotes = false;
            text += '#' + std::to_string(byte);
            continue;
        }
        if (!inQuotes)
            text += '\'';
        inQuotes = true;
        text += c;
        if (c == '\'')
            text += '\'';
    }
    if (inQuotes)
        text += '\'';
    return text;
}

std::string ValueText(const TPropertyInfo& property, const TPropertyValue& value)
{
    switch (property.Kind) {
    case TPropertyKind::Integer:
        return std::to_string(std::get<std::int32_t>(value));
    case TPropertyKind::Boolean:
        return std::get<bool>(value) ? "True" : "False";
    case TPropertyKind::String:
        return QuotedString(std::get<std::string>(value));
    case TPropertyKind::StringList: {
        std::string text = "(";
        for (const std::string& line : std::get<std::vector<std::string>>(value))
            text += "\n    " + QuotedString(line);
        return text + ")";
    }
    case TPropertyKind::Set: {
        std::string text = "[";
        std::uint32_t bits = std::get<TSetValue>(value).Bits;
        for (std::size_t i = 0; i < property.SetMembers.size(); ++i) {
            if ((bits & (std::uint32_t{1} << i)) == 0)
                continue;
            if (text.size() > 1)
                text += ", ";
            text += property.SetMembers[i];
        }
        return text + "]";
    }
    }
    return {};
}

} // namespace

std::string WriteComponentLayout(TComponent& component)
{
    std::string text = "object " + component.Name() + ": " + component.ClassName() + "\n";
    for (const TPropertyInfo& property : component.PublishedProperties()) {
        if (property.Name == "Name")
            continue; // carried by the "object" line
        TPropertyValue value = property.Read();
        if (property.Default && *property.Default == value)
            continue;
        std::string name = property.Name;
        if (property.Kind == TPropertyKind::StringList)
            name += ".Strings";
        text += "  " + name + " = " + ValueText(property, value) + "\n";
    }
    return text + "end\n";
}
