// The handheld's 8-bit character set, as this program reads it: Windows-1252,
// each of the five bytes it leaves undefined (81, 8D, 8F, 90, 9D) standing for
// the control character of the same number, so that every byte is one
// character and back.  The importer converts a UTF-8 text to it, and the web
// page shows and takes its text area's text through the same table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tx {

// The character (a Unicode code point) that `byte` stands for.
char32_t handheldCharacter(std::uint8_t byte);

// The byte that stands for `character`, or -1 where the set has none.
int handheldByte(char32_t character);

// The character that the well-formed UTF-8 sequence at the start of `bytes`
// encodes, and its length; length 0 where none starts there.
struct Utf8Character {
  char32_t character = 0;
  std::size_t length = 0;
};
Utf8Character readUtf8(std::string_view bytes);

// Converts UTF-8 `bytes` in place to the handheld's set (never longer):
// the new size, or where a character the set lacks (or a byte that is not
// UTF-8) stands, the 1-based line it stands on and no size.
struct HandheldConversion {
  std::size_t size = 0;
  std::uint64_t badLine = 0;  // 0: converted
};
HandheldConversion utf8ToHandheld(char* bytes, std::size_t size);

}  // namespace tx
