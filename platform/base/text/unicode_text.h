// Names and text beyond ASCII, the same way everywhere: comparing names whatever their letter
// case (the settings hive's key and value names, the reference service's logins), and telling
// text a terminal shows as itself from other bytes.
//
// Names here are 8-bit strings in no declared encoding. A run of bytes that is well-formed UTF-8
// (what Linux desktops, terminals and the wizard's edit fields produce) is read as the characters
// it encodes; every other byte stands for itself and compares exactly, since nothing says which
// letter it would be.
//
//   caseFolded("Ünï") == caseFolded("üNÏ")      // the same name
//   caseFolded("straße") != caseFolded("STRASSE") // ß has no one-letter upper case
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform::unicode {

// The name with each character replaced by its Unicode simple case folding, with the default
// (not Turkic) mappings: I and i are one letter, dotted İ and dotless ı each stay apart; ẞ folds
// to ß, which stays apart from "ss"; K (Kelvin) folds to k. Accents are kept, so "e" and "é" stay
// apart. Two names are the same whatever their case exactly when their folded forms are equal.
//
// Why these two choices. The default mappings, not the Turkic ones: the answer must not depend on
// the locale of the program asking (the wizard, the desktop application and dorvane-reg may run
// under different ones, and a store outlives them all), and names stored so far, compared as
// ASCII with I equal to i, keep comparing as they did; so İ and ı, whose partners differ between
// Turkish and every other language, match only themselves rather than the wrong letter for half
// the users. Simple folding, not full: it maps one character to one, as the per-character case
// tables of the registry the hive imitates do, so a name's letters pair up one to one and "ß" is
// not the two-letter "ss" ("Masse" and "Maße" are different words).
[[nodiscard]] std::string caseFolded(std::string_view name);

// How many leading bytes of text are well-formed UTF-8 made of characters a terminal shows as
// themselves: not controls (C0, DEL, C1), format characters (bidirectional overrides, zero-width
// joiners), line or paragraph separators, surrogates, private-use or unassigned characters.
// text.size() when the whole text is such text.
[[nodiscard]] std::size_t printableLength(std::string_view text);

} // namespace platform::unicode
