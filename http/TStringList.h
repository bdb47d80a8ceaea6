// An ordered list of 8-bit text lines, with the text form the components exchange:
// Text() puts CR LF after every line; SetText() splits at CR LF, LF or a lone CR.
//
//   TStringList headers;
//   headers.Add("Accept-Language: en");
//   std::string block = headers.Text();   // "Accept-Language: en\r\n"
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "dorvane_http_export.h"

class DORVANE_HTTP_EXPORT TStringList {
public:
    TStringList() = default;
    explicit TStringList(std::vector<std::string> lines);

    std::size_t Count() const noexcept { return FLines.size(); }
    const std::string& operator[](std::size_t index) const { return FLines.at(index); }
    const std::vector<std::string>& Lines() const noexcept { return FLines; }

    void Add(std::string line);
    void Clear() noexcept { FLines.clear(); }
    // Copies the other list's lines into this one.
    void Assign(const TStringList& source);

    std::string Text() const;
    void SetText(std::string_view text);

    bool operator==(const TStringList&) const = default;

private:
    std::vector<std::string> FLines;
};
