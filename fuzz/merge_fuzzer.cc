// The merge of arbitrary text into a small database, with a few scripted
// answers; running out of answers is a reported failure like any other.
#include <cstdio>
#include <string>

#include "fuzz/fuzz_support.h"
#include "importer/category_table.h"
#include "importer/import_merger.h"
#include "importer/overwrite_question.h"
#include "importer/record_list.h"
#include "textformat/text_records.h"

namespace {

void addRecord(tx::RecordList& list, std::string_view text, std::uint8_t category) {
  tx::Record node;
  node.text = list.texts().store(text);
  node.category = category;
  list.append(node, "Error adding a record");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::FILE* out = std::fopen("/dev/null", "w");
  tx::AppInfoBlock block{};
  block[tx::kCategoryNamesOffset] = 'U';
  tx::RecordList list;
  addRecord(list, "Alpha\nbody", 0);
  addRecord(list, "Beta", 0);
  addRecord(list, "", 0);
  const std::uint8_t answers[] = "n\nx\ny\nA\n";
  txfuzz::MemoryFile answerFile(answers, sizeof answers - 1);
  txfuzz::MemoryFile text(data, size);
  tx::BufferedReader stream(text.fd());
  tx::CategoryTable table(block);
  tx::AnswerReader reader(answerFile.fd());
  tx::ImportMerger merger(list, table, reader, out);
  try {
    merger.merge(stream);
  } catch (const tx::Failure&) {
  }
  // No record of the database is lost, and every record is one a database
  // can hold.
  if (list.size() < 3) __builtin_trap();
  for (const tx::Record& record : list.records()) {
    if (record.category > 15 || record.secret > 1 || record.text.find('\0') != std::string_view::npos) {
      __builtin_trap();
    }
  }
  return 0;
}
