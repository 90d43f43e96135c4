// Writes records in the text form (see text_format.h).
#pragma once

#include <cstdint>
#include <string_view>

#include "system/file_io.h"
#include "textformat/text_format.h"

namespace tx {

// Writes records in the text form to a sink.
class TextRecordWriter {
 public:
  explicit TextRecordWriter(ByteSink& sink) : sink_(sink) {}

  // The category line and the settings line.
  void writeRecordHead(std::string_view categoryName, std::uint8_t secret, std::uint8_t places,
                       std::uint8_t stripZeros);
  // Text bytes, as stored.
  void writeText(std::string_view bytes) { sink_.write(bytes); }
  // The line feed that ends the text, then the separator line.
  void endRecord();

 private:
  ByteSink& sink_;
};

}  // namespace tx
