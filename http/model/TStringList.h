/// @file
/// An ordered list of 8-bit text lines, with the text form the components exchange:
/// Text() puts CR LF after every line; SetText() splits at CR LF, LF or a lone CR.
///
/// @code
/// TStringList headers;
/// headers.Add("Accept-Language: en");
/// std::string block = headers.Text();   // "Accept-Language: en\r\n"
/// @endcode
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "dorvane_http_export.h"

/// An ordered list of 8-bit text lines (see the file description for its text form).
class DORVANE_HTTP_EXPORT TStringList {
public:
    TStringList() = default; ///< An empty list.
    /// A list of these lines.
    explicit TStringList(std::vector<std::string> lines);

    /// The number of lines.
    std::size_t Count() const noexcept { return FLines.size(); }
    /// Line index (from 0); std::out_of_range past the last one.
    const std::string& operator[](std::size_t index) const { return FLines.at(index); }
    /// All lines.
    const std::vector<std::string>& Lines() const noexcept { return FLines; }

    /// Adds a line at the end.
    void Add(std::string line);
    /// Removes every line.
    void Clear() noexcept { FLines.clear(); }
    /// Copies the other list's lines into this one.
    void Assign(const TStringList& source);

    /// The lines, each followed by CR LF.
    std::string Text() const;
    /// Replaces the lines with those of text, split at CR LF, LF or a lone CR.
    void SetText(std::string_view text);

    /// The same lines in the same order.
    bool operator==(const TStringList&) const = default;

private:
    std::vector<std::string> FLines;
};
