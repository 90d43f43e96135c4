// The text reader, with the category table, on arbitrary text: read from a
// file through a tiny buffer (the texts put together) and from memory (the
// texts used where they lie), the records and the notes on them must be the
// same.
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "importer/category_table.h"
#include "textformat/text_reader.h"

namespace {

struct Read {
  std::uint8_t category, secret, places, stripZeros;
  std::string text;
  bool operator==(const Read&) const = default;
};

// The notes (as texts: the line number and the words) and the records, in
// one list in the order they came.
class Notes : public tx::TextNotes {
 public:
  void note(std::uint64_t line, std::string_view words) override {
    if (line == 0) __builtin_trap();
    all.push_back({0, 0, 0, 0, std::to_string(line) + ": " + std::string(words)});
  }
  std::vector<Read> all;
};

std::vector<Read> readAll(tx::BufferedReader& stream) {
  tx::AppInfoBlock block{};
  block[tx::kCategoryNamesOffset] = 'U';  // one named slot
  tx::CategoryTable table(block);
  tx::TextArena texts;
  tx::Record record;
  Notes notes;
  std::vector<Read>& records = notes.all;
  tx::TextRecordReader reader(stream, table, texts, &notes);
  while (reader.next(record)) {
    if (record.category > 15 || record.secret > 1 || record.stripZeros > 1) __builtin_trap();
    if (record.text.find('\0') != std::string::npos || record.text.find('\r') != std::string::npos) {
      __builtin_trap();
    }
    records.push_back({record.category, record.secret, record.places, record.stripZeros, std::string(record.text)});
  }
  return std::move(records);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Through a file with a tiny block, so that lines cross buffer refills.
  txfuzz::MemoryFile file(data, size);
  tx::BufferedReader fromFile(file.fd(), 16);
  tx::BufferedReader fromMemory(tx::BufferedReader::InMemory{},
                                std::string_view(reinterpret_cast<const char*>(data), size));
  if (readAll(fromFile) != readAll(fromMemory)) __builtin_trap();
  return 0;
}
