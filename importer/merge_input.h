// What the merge reads, wherever its bytes come from: the old database's
// records, and the text, checked before its first record is read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "dbformat/database_format.h"
#include "dbformat/database_reader.h"
#include "importer/record_list.h"
#include "system/file_io.h"

namespace tx {

inline constexpr std::string_view kTextIsADatabase = "it is a Tallix database, not a text file";
inline constexpr std::string_view kTextIsUtf16 = "it is UTF-16 text; save it as UTF-8 or in an 8-bit character set";

// The parts of the old database that the new one keeps besides its records.
struct DatabaseParts {
  HeaderBytes header{};
  AppInfoBlock appInfo{};
};

// Reads the database in `file`, whose bytes stay in memory for the list's
// life, into `list`: its records, their texts where they lie.  A database
// the importer cannot read fails the run with its message.
DatabaseParts loadRecords(BufferedReader& file, RecordList& list);

// The same in two steps: start() reads the header and the app info block,
// records() then the records.
class DatabaseLoad {
 public:
  explicit DatabaseLoad(BufferedReader& file) : reader_(file) {}
  DatabaseParts start();
  void records(RecordList& list);

 private:
  DatabaseReader reader_;
};

// A database given as the text file (the arguments swapped, say) would be
// read as one garbled record, UTF-16 text too: both fail the run, naming
// `textPath`.  A UTF-8 byte-order mark is passed over.
void checkText(BufferedReader& text, const std::string& textPath);

// A text that starts with a UTF-8 byte-order mark is UTF-8: its bytes after
// the mark are converted in place to the handheld's character set.  The
// text's new size; a character the set does not have fails the run, naming
// its line, before anything is merged.  Any other text is left as it is.
std::size_t convertUtf8Text(char* bytes, std::size_t size);

// The line that tells of something the text reader read otherwise than its
// writer may have meant, at `line` of the text file.
std::string importNote(std::string_view textPath, std::uint64_t line, std::string_view words);

}  // namespace tx
