#include "textformat/handheld_charset.h"

namespace tx {
namespace {

// 80 to 9F; the rest is Latin-1.
constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace

char32_t handheldCharacter(std::uint8_t byte) {
  return byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : char32_t{byte};
}

int handheldByte(char32_t character) {
  if (character < 0x80 || (character >= 0xA0 && character <= 0xFF)) return static_cast<int>(character);
  for (int i = 0; i < 32; ++i) {
    if (kHigh[i] == character) return 0x80 + i;
  }
  return -1;
}

Utf8Character readUtf8(std::string_view bytes) {
  if (bytes.empty()) return {};
  const auto at = [&bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = at(0);
  if (lead < 0x80) return {lead, 1};
  const std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
  if (length == 0 || bytes.size() < length) return {};
  char32_t character = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((at(i) & 0xC0) != 0x80) return {};
    character = character << 6 | (at(i) & 0x3F);
  }
  // The shortest form only, and no surrogate or value past Unicode.
  constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (character < kLeast[length] || (character >= 0xD800 && character <= 0xDFFF) || character > 0x10FFFF) return {};
  return {character, length};
}

HandheldConversion utf8ToHandheld(char* bytes, std::size_t size) {
  std::size_t out = 0;
  std::uint64_t line = 1;
  for (std::size_t at = 0; at < size;) {
    const Utf8Character read = readUtf8(std::string_view(bytes + at, size - at));
    const int byte = read.length == 0 ? -1 : handheldByte(read.character);
    if (byte < 0) return {0, line};
    if (byte == '\n') ++line;
    bytes[out++] = static_cast<char>(byte);
    at += read.length;
  }
  return {out, 0};
}

}  // namespace tx
