// The merge of arbitrary text into a database of up to 4,095 records, with
// a few scripted answers; running out of answers is a reported failure like
// any other.  The input's first two bytes set the database: how many records
// it holds beyond the three fixed ones, and how many records share each
// first line, so that the merge's tables are grown at every size.  Those
// first lines are short words of lower-case letters, which a mutated text
// soon holds.  Before the input's text is merged, the text of those records
// is merged unchanged: it must ask nothing and change nothing.
#include <cstdio>
#include <string>

#include "fuzz/fuzz_support.h"
#include "importer/category_table.h"
#include "importer/import_merger.h"
#include "importer/overwrite_question.h"
#include "importer/record_list.h"
#include "textformat/text_writer.h"

namespace {

void addRecord(tx::RecordList& list, std::string_view text, std::uint8_t category) {
  tx::Record node;
  node.text = list.texts().store(text);
  node.category = category;
  list.append(node, "Error adding a record");
}

// The n-th word of lower-case letters: "a", "b", ... "z", "ba", "bb", ...
std::string word(std::size_t n) {
  std::string letters;
  do letters.insert(letters.begin(), static_cast<char>('a' + n % 26));
  while ((n /= 26) != 0);
  return letters;
}

// Merges `text` into `list`, with `answers` for its questions.
void merge(tx::RecordList& list, tx::CategoryTable& table, std::string_view text, std::string_view answers) {
  static std::FILE* out = std::fopen("/dev/null", "w");
  txfuzz::MemoryFile answerFile(reinterpret_cast<const std::uint8_t*>(answers.data()), answers.size());
  txfuzz::MemoryFile textFile(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  tx::BufferedReader stream(textFile.fd());
  tx::AnswerReader reader(answerFile.fd());
  tx::ImportMerger(list, table, reader, out).merge(stream);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tx::AppInfoBlock block{};
  block[tx::kCategoryNamesOffset] = 'U';
  tx::CategoryTable table(block);
  tx::RecordList list;
  addRecord(list, "Alpha\nbody", 0);
  addRecord(list, "Beta", 0);
  addRecord(list, "", 0);
  tx::StringSink unchanged;
  if (size >= 2) {
    const std::size_t count = (std::size_t{data[0]} << 8 | data[1]) & 0xFFF;
    const std::size_t shared = 1 + (data[0] >> 4) % 5;
    tx::TextRecordWriter writer(unchanged);
    for (std::size_t i = 0; i < count; ++i) {
      addRecord(list, word(i / shared) + "\nbody " + std::to_string(i % 3), 0);
      writer.writeRecordHead("U", 0, 14, 1);
      writer.writeText(list.records().back().text);
      writer.endRecord();
    }
    data += 2;
    size -= 2;
  }
  const std::size_t before = list.size();
  try {
    merge(list, table, unchanged.text(), "");
  } catch (const tx::Failure&) {
    __builtin_trap();  // a question, with no answer to give
  }
  if (list.size() != before) __builtin_trap();
  try {
    merge(list, table, {reinterpret_cast<const char*>(data), size}, "n\nx\ny\nA\n");
  } catch (const tx::Failure&) {
  }
  // No record of the database is lost, and every record is one a database
  // can hold.
  if (list.size() < before) __builtin_trap();
  for (const tx::Record& record : list.records()) {
    if (record.category > 15 || record.secret > 1 || record.text.find('\0') != std::string_view::npos) {
      __builtin_trap();
    }
  }
  return 0;
}
