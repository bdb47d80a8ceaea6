#include "TStringList.h"

#include <utility>

TStringList::TStringList(std::vector<std::string> lines)
    : FLines(std::move(lines))
{
}

void TStringList::Add(std::string line)
{
    FLines.push_back(std::move(line));
}

void TStringList::Assign(const TStringList& source)
{
    if (&source != this)
        FLines = source.FLines;
}

std::string TStringList::Text() const
{
    std::string text;
    for (const std::string& line : FLines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

// A line break ends the line before it, so "a\r\nb" and "a\r\nb\r\n" both give two lines and
// "a\r\n\r\n" gives "a" and an empty line.
void TStringList::SetText(std::string_view text)
{
    FLines.clear();
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            FLines.emplace_back(text.substr(start));
            break;
        }
        FLines.emplace_back(text.substr(start, end - start));
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n')
            ++start;
    }
}
