// The text reader, with the category table, on arbitrary text.
#include <string>

#include "fuzz/fuzz_support.h"
#include "importer/category_table.h"
#include "textformat/text_records.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tx::AppInfoBlock block{};
  block[tx::kCategoryNamesOffset] = 'U';  // one named slot
  tx::CategoryTable table(block);
  // Through a file with a tiny block, so that lines cross buffer refills.
  txfuzz::MemoryFile file(data, size);
  tx::BufferedReader stream(file.fd(), 16);
  tx::TextArena texts;
  tx::RecordNode record;
  try {
    while (tx::TextRecordReader::next(stream, table, texts, record)) {
      if (record.category > 15 || record.secret > 1 || record.stripZeros > 1) __builtin_trap();
      if (record.text.find('\0') != std::string::npos || record.text.find('\r') != std::string::npos) {
        __builtin_trap();
      }
    }
  } catch (const tx::Failure&) {
  }
  return 0;
}
