#include "importer/import_merger.h"

#include <cerrno>

#include "dbformat/fatal.h"

namespace tx {
namespace {

bool sameRecord(const RecordNode& a, const RecordNode& b) {
  return a.text == b.text && a.category == b.category && a.secret == b.secret && a.places == b.places &&
         a.stripZeros == b.stripZeros;
}

}  // namespace

void ImportMerger::merge(BufferedReader& text) {
  bool all = false;
  RecordNode record;
  while (TextRecordReader::next(text, resolver_, list_.texts(), record)) {
    const RecordNode* existing = list_.findByFirstLine(record.text);
    if (!existing) {
      list_.append(record, kErrorMerging);
      continue;
    }
    if (sameRecord(*existing, record)) {
      // Nothing keeps its text: its room is used again.
      list_.texts().dropLast(record.text);
      continue;
    }
    OverwriteAnswer answer = all ? OverwriteAnswer::Yes : askOverwrite(existing->text, answers_, out_);
    if (answer == OverwriteAnswer::All) {
      all = true;
      answer = OverwriteAnswer::Yes;
    }
    if (answer == OverwriteAnswer::Yes) {
      list_.replace(existing, record);
    } else {
      list_.append(record, kErrorMerging);
    }
  }
  // The end of the records must be the end of the file, not a read error.
  if (text.error() != 0) {
    errno = text.error();
    fatalSystemError(kErrorReadingText);
  }
}

}  // namespace tx
