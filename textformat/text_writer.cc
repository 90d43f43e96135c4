#include <string>

#include "textformat/text_records.h"

namespace tx {

void TextRecordWriter::writeRecordHead(std::string_view categoryName, std::uint8_t secret, std::uint8_t places,
                                       std::uint8_t stripZeros) {
  std::string head;
  head.reserve(categoryName.size() + 64);
  head.append(kCategoryLinePrefix).append(categoryName).append("\"; Secret = ");
  head.append(std::to_string(secret)).append("\nPlaces = ").append(std::to_string(places));
  head.append("; StripZeros = ").append(std::to_string(stripZeros)).push_back('\n');
  sink_.write(head);
}

void TextRecordWriter::endRecord() {
  static constexpr std::string_view kEnd = "\n~~~~~~~~~~~~~~~~~~~~~~~~~~~\n";
  static_assert(kEnd.substr(1) == kSeparatorLine);
  sink_.write(kEnd);
  sink_.endOfUnit();
}

}  // namespace tx
