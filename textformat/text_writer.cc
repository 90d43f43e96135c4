#include <charconv>
#include <cstring>

#include "textformat/text_writer.h"

namespace tx {
namespace {

// Appends `text` at `out`; gives the end.
char* put(char* out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

// Appends a byte's value in decimal; gives the end.
char* putNumber(char* out, std::uint8_t value) { return std::to_chars(out, out + 3, value).ptr; }

}  // namespace

void TextRecordWriter::writeRecordHead(std::string_view categoryName, std::uint8_t secret, std::uint8_t places,
                                       std::uint8_t stripZeros) {
  // Made on the stack: the longest head is some 80 bytes.
  char head[128];
  char* out = put(head, kCategoryLinePrefix);
  out = put(out, categoryName.substr(0, 16));
  out = put(out, "\"; Secret = ");
  out = putNumber(out, secret);
  out = put(out, "\nPlaces = ");
  out = putNumber(out, places);
  out = put(out, "; StripZeros = ");
  out = putNumber(out, stripZeros);
  *out++ = '\n';
  sink_.write(std::string_view(head, static_cast<std::size_t>(out - head)));
}

void TextRecordWriter::endRecord() {
  static constexpr std::string_view kEnd = "\n~~~~~~~~~~~~~~~~~~~~~~~~~~~\n";
  static_assert(kEnd.substr(1) == kSeparatorLine);
  sink_.write(kEnd);
  sink_.endOfUnit();
}

}  // namespace tx
