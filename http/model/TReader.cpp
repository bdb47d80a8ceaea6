// A small hand-written reader: the layout grammar has five value forms and no nesting, which a
// tokenizer and one loop cover more plainly than a general parser library would.
#include "TReader.h"

#include <charconv>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Exception.h"
#include "TComponent.h"

namespace {

// A layout is data we ship; anything past these is not a layout of ours.
constexpr std::size_t MaxLayoutLength = 1024 * 1024;
constexpr std::size_t MaxStringLength = 64 * 1024;

enum class TTokenKind { Identifier, Integer, String, Symbol, End };

struct TToken {
    TTokenKind Kind = TTokenKind::End;
    std::string Text; // identifier, digits, decoded string, or the symbol character
    int Line = 0;
};

[[noreturn]] void LayoutError(int line, const std::string& what)
{
    throw Exception("Layout line " + std::to_string(line) + ": " + what);
}

bool IsIdentifierStart(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool IsIdentifierPart(char c)
{
    return IsIdentifierStart(c) || (c >= '0' && c <= '9') || c == '.';
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool SameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

class TTokenizer {
public:
    explicit TTokenizer(std::string_view text)
        : FText(text)
    {
    }

    TToken Next()
    {
        SkipBlanksAndComments();
        TToken token;
        token.Line = FLine;
        if (FPos >= FText.size())
            return token;
        char c = FText[FPos];
        if (IsIdentifierStart(c)) {
            token.Kind = TTokenKind::Identifier;
            while (FPos < FText.size() && IsIdentifierPart(FText[FPos]))
                token.Text += FText[FPos++];
        } else if (IsDigit(c) || c == '-' || c == '+') {
            token.Kind = TTokenKind::Integer;
            token.Text += FText[FPos++];
            while (FPos < FText.size() && IsDigit(FText[FPos]))
                token.Text += FText[FPos++];
        } else if (c == '\'' || c == '#') {
            token.Kind = TTokenKind::String;
            token.Text = ReadString();
        } else if (std::string_view("=:[](),").find(c) != std::string_view::npos) {
            token.Kind = TTokenKind::Symbol;
            token.Text = std::string(1, c);
            ++FPos;
        } else {
            LayoutError(FLine, "unexpected character '" + std::string(1, c) + "'");
        }
        return token;
    }

private:
    void SkipBlanksAndComments()
    {
        while (FPos < FText.size()) {
            char c = FText[FPos];
            if (c == '\n') {
                ++FLine;
                ++FPos;
            } else if (c == ' ' || c == '\t' || c == '\r') {
                ++FPos;
            } else if (c == '/' && FPos + 1 < FText.size() && FText[FPos + 1] == '/') {
                while (FPos < FText.size() && FText[FPos] != '\n')
                    ++FPos;
            } else {
                return;
            }
        }
    }

    // 'quoted' pieces and #nn codes, joined without blanks between them.
    std::string ReadString()
    {
        std::string value;
        while (FPos < FText.size()) {
            if (FText[FPos] == '\'') {
                ReadQuoted(value);
            } else if (FText[FPos] == '#') {
                ReadCharacterCode(value);
            } else {
                break;
            }
            if (value.size() > MaxStringLength)
                LayoutError(FLine, "string longer than " + std::to_string(MaxStringLength) + " bytes");
        }
        return value;
    }

    void ReadQuoted(std::string& value)
    {
        ++FPos; // opening quote
        for (;;) {
            if (FPos >= FText.size() || FText[FPos] == '\n' || FText[FPos] == '\r')
                LayoutError(FLine, "string not closed before the end of the line");
            char c = FText[FPos++];
            if (c != '\'') {
                value += c;
                continue;
            }
            if (FPos < FText.size() && FText[FPos] == '\'') {
                value += '\'';
                ++FPos;
                continue;
            }
            return;
        }
    }

    void ReadCharacterCode(std::string& value)
    {
        ++FPos; // '#'
        std::size_t start = FPos;
        while (FPos < FText.size() && IsDigit(FText[FPos]))
            ++FPos;
        unsigned code = 0;
        auto [end, error] = std::from_chars(FText.data() + start, FText.data() + FPos, code);
        if (start == FPos || error != std::errc() || end != FText.data() + FPos || code > 255)
            LayoutError(FLine, "a character code after '#' must be a number from 0 to 255");
        value += static_cast<char>(code);
    }

    std::string_view FText;
    std::size_t FPos = 0;
    int FLine = 1;
};

class TLayoutReader {
public:
    TLayoutReader(TComponent& component, std::string_view text)
        : FComponent(component)
        , FTokens(text)
        , FProperties(component.PublishedProperties())
    {
    }

    void Read()
    {
        ReadObjectLine();
        ReadValues();
        ApplyInPublishedOrder();
    }

private:
    TToken Take() { return std::exchange(FLookahead, FTokens.Next()); }
    const TToken& Peek() const { return FLookahead; }

    void Expect(TTokenKind kind, const std::string& text, const std::string& what)
    {
        TToken token = Take();
        if (token.Kind != kind || (!text.empty() && !SameText(token.Text, text)))
            LayoutError(token.Line, "expected " + what);
    }

    std::string ExpectIdentifier(const std::string& what)
    {
        TToken token = Take();
        if (token.Kind != TTokenKind::Identifier)
            LayoutError(token.Line, "expected " + what);
        return token.Text;
    }

    void ReadObjectLine()
    {
        FLookahead = FTokens.Next();
        Expect(TTokenKind::Identifier, "object", "'object'");
        FName = ExpectIdentifier("the component's name");
        Expect(TTokenKind::Symbol, ":", "':' after the component's name");
        int line = Peek().Line;
        std::string className = ExpectIdentifier("the component's class");
        if (!SameText(className, FComponent.ClassName()))
            LayoutError(line, "the layout is for a " + className + ", not a " + FComponent.ClassName());
    }

    void ReadValues()
    {
        for (;;) {
            TToken token = Take();
            if (token.Kind == TTokenKind::Identifier && SameText(token.Text, "end"))
                break;
            if (token.Kind != TTokenKind::Identifier)
                LayoutError(token.Line, "expected a property name or 'end'");
            ReadValue(token);
        }
        TToken after = Take();
        if (after.Kind != TTokenKind::End)
            LayoutError(after.Line, "text after 'end'");
    }

    void ReadValue(const TToken& nameToken)
    {
        std::string name = nameToken.Text;
        bool stringsSuffix = false;
        if (name.size() > 8 && SameText(std::string_view(name).substr(name.size() - 8), ".Strings")) {
            name.resize(name.size() - 8);
            stringsSuffix = true;
        }
        const TPropertyInfo* property = Find(name);
        if (property == nullptr)
            LayoutError(nameToken.Line, "unknown property '" + nameToken.Text + "'");
        if (stringsSuffix != (property->Kind == TPropertyKind::StringList))
            LayoutError(nameToken.Line, "a string list is written as '" + property->Name + ".Strings = (...)'");
        if (FValues.count(property->Name) != 0)
            LayoutError(nameToken.Line, "property '" + property->Name + "' given twice");
        Expect(TTokenKind::Symbol, "=", "'=' after '" + nameToken.Text + "'");
        FValues.emplace(property->Name, ParseValue(*property));
    }

    TPropertyValue ParseValue(const TPropertyInfo& property)
    {
        switch (property.Kind) {
        case TPropertyKind::Integer:
            return ParseInteger(property);
        case TPropertyKind::Boolean:
            return ParseBoolean(property);
        case TPropertyKind::String:
            return ParseString(property);
        case TPropertyKind::StringList:
            return ParseStringList();
        case TPropertyKind::Set:
            return ParseSet(property);
        }
        LayoutError(Peek().Line, "property '" + property.Name + "' cannot be streamed");
    }

    TPropertyValue ParseInteger(const TPropertyInfo& property)
    {
        TToken token = Take();
        std::int32_t value = 0;
        const char* first = token.Text.data();
        const char* last = first + token.Text.size();
        if (first != last && *first == '+')
            ++first;
        auto [end, error] = std::from_chars(first, last, value);
        if (token.Kind != TTokenKind::Integer || error != std::errc() || end != last)
            LayoutError(token.Line, "'" + property.Name + "' needs a whole number from -2147483648 to 2147483647");
        return value;
    }

    TPropertyValue ParseBoolean(const TPropertyInfo& property)
    {
        TToken token = Take();
        if (token.Kind == TTokenKind::Identifier && SameText(token.Text, "True"))
            return true;
        if (token.Kind == TTokenKind::Identifier && SameText(token.Text, "False"))
            return false;
        LayoutError(token.Line, "'" + property.Name + "' needs True or False");
    }

    TPropertyValue ParseString(const TPropertyInfo& property)
    {
        TToken token = Take();
        if (token.Kind != TTokenKind::String)
            LayoutError(token.Line, "'" + property.Name + "' needs a quoted string");
        return token.Text;
    }

    TPropertyValue ParseStringList()
    {
        Expect(TTokenKind::Symbol, "(", "'(' to open the list");
        std::vector<std::string> lines;
        for (;;) {
            TToken token = Take();
            if (token.Kind == TTokenKind::Symbol && token.Text == ")")
                break;
            if (token.Kind != TTokenKind::String)
                LayoutError(token.Line, "expected a quoted line or ')'");
            lines.push_back(std::move(token.Text));
        }
        return lines;
    }

    TPropertyValue ParseSet(const TPropertyInfo& property)
    {
        Expect(TTokenKind::Symbol, "[", "'[' to open the set");
        TSetValue set;
        if (Peek().Kind == TTokenKind::Symbol && Peek().Text == "]") {
            Take();
            return set;
        }
        for (;;) {
            TToken member = Take();
            if (member.Kind != TTokenKind::Identifier)
                LayoutError(member.Line, "expected a member of '" + property.Name + "'");
            set.Bits |= MemberBit(property, member);
            TToken separator = Take();
            if (separator.Kind == TTokenKind::Symbol && separator.Text == "]")
                return set;
            if (separator.Kind != TTokenKind::Symbol || separator.Text != ",")
                LayoutError(separator.Line, "expected ',' or ']' in the set");
        }
    }

    static std::uint32_t MemberBit(const TPropertyInfo& property, const TToken& member)
    {
        for (std::size_t i = 0; i < property.SetMembers.size(); ++i) {
            if (SameText(property.SetMembers[i], member.Text))
                return std::uint32_t{1} << i;
        }
        LayoutError(member.Line, "'" + member.Text + "' is not a member of '" + property.Name + "'");
    }

    const TPropertyInfo* Find(const std::string& name) const
    {
        for (const TPropertyInfo& property : FProperties) {
            if (SameText(property.Name, name))
                return &property;
        }
        return nullptr;
    }

    // Values take effect in published order, whatever order the text lists them in, because
    // some setters depend on values before them (URL, then its parts).
    void ApplyInPublishedOrder()
    {
        FComponent.SetName(FName);
        for (const TPropertyInfo& property : FProperties) {
            auto value = FValues.find(property.Name);
            if (value != FValues.end())
                property.Write(value->second);
        }
    }

    TComponent& FComponent;
    TTokenizer FTokens;
    TToken FLookahead;
    std::vector<TPropertyInfo> FProperties;
    std::string FName;
    std::map<std::string, TPropertyValue> FValues;
};

} // namespace

void ReadComponentLayout(TComponent& component, std::string_view layoutText)
{
    if (layoutText.size() > MaxLayoutLength)
        throw Exception("Layout text longer than " + std::to_string(MaxLayoutLength) + " bytes");
    TLayoutReader reader(component, layoutText);
    component.Loading();
    try {
        reader.Read();
    } catch (...) {
        component.Loaded();
        throw;
    }
    component.Loaded();
}
