#include "exporter/exporter.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "system/command_line.h"
#include "dbformat/database_file.h"
#include "dbformat/database_reader.h"
#include "system/exit_signals.h"
#include "system/fatal.h"
#include "system/file_io.h"
#include "system/open_file.h"
#include "system/platform.h"

namespace tx {
namespace {

constexpr std::string_view kUsage = "Format: TXEXPORT DbFileName TextFileName\n";
constexpr std::string_view kTextIsTheDatabase = "it is the database file itself";
// No database can hold more (its offsets are 32-bit): a text that would
// pass this comes from a damaged or hostile database whose records share
// their bytes, and would otherwise fill the disk.
constexpr std::uint64_t kLongestText = std::uint64_t{4} << 30;
constexpr std::string_view kTextTooLong = "the text would pass 4 GiB, more than any database can hold";
constexpr std::string_view kTextIsADatabase = "it is a Tallix database, so it is not overwritten";

// Another database named as the text file (a slip of the arguments) is not
// emptied.  A file that cannot be read here is left to the open for writing
// to judge.
void refuseADatabaseAsText(const std::string& textPath) {
  platform::FileStatus info;
  if (!platform::status(textPath, info) || !info.regular || info.size < kCreatorOffset + 4) return;
  FileDescriptor text(platform::openForReading(textPath));
  if (text.get() >= 0 && startsAsTallixDatabase(text.get())) failToOpen(textPath, kTextIsADatabase);
}

}  // namespace

TextFile::TextFile(int fd, std::size_t blockSize) : out_(fd, blockSize), cutBack_(fd, 0) {}

TextFile::~TextFile() {
  if (finished_) return;
  // What is buffered still goes out; then the guard cuts the file back to
  // the end of its last complete record.  Errors are not reported here: the
  // failure that ended the run has been, and a file that cannot be cut (a
  // device, a pipe) has nothing to cut.
  if (!broken_ && out_.flush()) keepWhatIsWhole();
}

void TextFile::endOfUnit() {
  recordEnd_ = given_;
  keepWhatIsWhole();
}

void TextFile::keepWhatIsWhole() {
  if (recordEnd_ <= out_.written()) cutBack_.setLength(recordEnd_);
}

void TextFile::write(std::string_view bytes) {
  if constexpr (platform::kLineEnd != "\n") {
    // Each line feed becomes the host's line end.
    for (std::size_t feed; (feed = bytes.find('\n')) != std::string_view::npos; bytes.remove_prefix(feed + 1)) {
      put(bytes.substr(0, feed));
      put(platform::kLineEnd);
    }
  }
  put(bytes);
}

void TextFile::put(std::string_view bytes) {
  if (given_ + bytes.size() > kLongestText) fatalError(kErrorWritingText, kTextTooLong);
  if (!out_.write(bytes)) fail();
  given_ += bytes.size();
  // A block that went out may hold the end of the last complete record.
  keepWhatIsWhole();
}

void TextFile::fail() {
  broken_ = true;
  errno = out_.error();
  fatalSystemError(kErrorWritingText);
}

void TextFile::finish() {
  if (!out_.flush()) fail();
  finished_ = true;
  cutBack_.keep();
}

void exportDatabase(const std::string& dbPath, const std::string& textPath) {
  // The database is checked before the text file is touched: a file that is
  // not a Tallix database (the arguments swapped, say) empties nothing.
  // It holds the database against a rewrite until the export is done.
  FileDescriptor db = openDatabase(dbPath, DatabaseAccess::Read, "TxExport", stderr);
  BufferedReader dbFile(db.get());
  RecordExport records(dbFile);

  // Opening the text file empties it: it must not be the database itself.
  if (sameFile(db.get(), textPath)) failToOpen(textPath, kTextIsTheDatabase);
  refuseADatabaseAsText(textPath);
  FileDescriptor textFd(platform::openForWriting(textPath));
  if (textFd.get() < 0) failToOpen(textPath, platform::errorText(errno));
  TextFile text(textFd.get());
  records.writeTo(text);

  text.finish();
  textFd.close(kErrorWritingText);
  db.close(kErrorClosingDatabase);
}

int runExport(const std::vector<std::string>& arguments) {
  return runProgram(arguments, "TxExport", kUsage, arguments.size() == 3, [&arguments] {
    exportDatabase(arguments[1], arguments[2]);
    return 0;
  });
}

}  // namespace tx
