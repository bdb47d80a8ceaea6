// ICU's character properties (libicuuc, which Qt Core loads anyway): the case folding and the
// general categories of the Unicode version ICU ships, so every program here folds alike.
#include "unicode_text.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace platform::unicode {
namespace {

// The next character at text[offset], moving offset past it; negative for a byte that is not
// part of well-formed UTF-8 (offset then moves past the ill-formed bytes only, at least one).
UChar32 nextCharacter(std::string_view text, std::size_t& offset)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    auto index = static_cast<int32_t>(offset);
    UChar32 c = 0;
    U8_NEXT(bytes, index, length, c);
    offset = static_cast<std::size_t>(index);
    return c;
}

void appendUtf8(std::string& out, UChar32 c)
{
    uint8_t encoded[U8_MAX_LENGTH];
    int32_t length = 0;
    U8_APPEND_UNSAFE(encoded, length, c);
    out.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(length));
}

constexpr uint32_t NotShownAsItself = U_GC_C_MASK | U_GC_ZL_MASK | U_GC_ZP_MASK;

} // namespace

std::string caseFolded(std::string_view name)
{
    std::string folded;
    folded.reserve(name.size());
    std::size_t offset = 0;
    while (offset < name.size()) {
        const std::size_t start = offset;
        const UChar32 c = nextCharacter(name, offset);
        if (c < 0)
            folded.append(name.substr(start, offset - start));
        else
            appendUtf8(folded, u_foldCase(c, U_FOLD_CASE_DEFAULT));
    }
    return folded;
}

std::size_t printableLength(std::string_view text)
{
    std::size_t offset = 0;
    while (offset < text.size()) {
        const std::size_t start = offset;
        const UChar32 c = nextCharacter(text, offset);
        if (c < 0 || (U_GET_GC_MASK(c) & NotShownAsItself) != 0)
            return start;
    }
    return text.size();
}

} // namespace platform::unicode
