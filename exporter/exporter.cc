#include "exporter/exporter.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "system/command_line.h"
#include "dbformat/database_file.h"
#include "dbformat/database_reader.h"
#include "system/exit_signals.h"
#include "system/fatal.h"
#include "system/file_beside.h"
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
constexpr std::string_view kTextIsAnotherDatabase = "it is a Tallix database, so it is not overwritten";

// Another database named as the text file (a slip of the arguments) is not
// emptied.  A file that cannot be read here is left to the open for writing
// to judge.
void refuseADatabaseAsText(const std::string& textPath) {
  platform::FileStatus info;
  if (!platform::status(textPath, info) || !info.regular || info.size < kCreatorOffset + 4) return;
  FileDescriptor text(platform::openForReading(textPath));
  if (text.get() >= 0 && startsAsTallixDatabase(text.get())) failToOpen(textPath, kTextIsAnotherDatabase);
}

}  // namespace

TextFile::TextFile(int fd, std::size_t blockSize, bool stream, bool flushed)
    : fd_(fd), blockSize_(blockSize), stream_(stream), flushed_(flushed), out_(fd, stream ? 1 : blockSize),
      cutBack_(fd, 0) {
  if (stream_) cutBack_.keep();
}

TextFile::~TextFile() {
  if (finished_ || broken_) return;
  // Errors are not reported here: the failure that ended the run has been.
  if (stream_) {
    sendWhole();
    return;
  }
  // What is buffered still goes out; then the guard cuts the file back to
  // the end of its last complete record.
  if (out_.flush()) keepWhatIsWhole();
}

void TextFile::endOfUnit() {
  recordEnd_ = given_;
  if (stream_) {
    if (held_.size() >= blockSize_) sendWhole();
    return;
  }
  keepWhatIsWhole();
}

void TextFile::keepWhatIsWhole() {
  if (recordEnd_ <= out_.written()) cutBack_.setLength(recordEnd_);
}

void TextFile::sendWhole() {
  const std::size_t whole = held_.size() - static_cast<std::size_t>(given_ - recordEnd_);
  if (!writeAll(fd_, held_.data(), whole)) fail(errno);
  held_.erase(0, whole);
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
  given_ += bytes.size();
  if (stream_) {
    held_.append(bytes);
    return;
  }
  if (!out_.write(bytes)) fail(out_.error());
  // A block that went out may hold the end of the last complete record.
  keepWhatIsWhole();
  if (flushed_ && out_.written() > writtenBack_) {
    platform::startWriteBack(fd_, writtenBack_, out_.written() - writtenBack_);
    writtenBack_ = out_.written();
  }
}

void TextFile::fail(int error) {
  broken_ = true;
  fatalSystemError(kErrorWritingText, error);
}

void TextFile::finish() {
  if (stream_) {
    recordEnd_ = given_;
    sendWhole();
  } else if (!out_.flush()) {
    fail(out_.error());
  }
  finished_ = true;
  cutBack_.keep();
}

namespace {

// Writes the text into `fd`: a stream, or a file from its start.
void writeText(RecordExport& records, int fd, bool stream, bool flushed = false) {
  TextFile text(fd, TextFile::kBlockSize, stream, flushed);
  records.writeTo(text);
  text.finish();
}

// The text in a new file beside the old one (or where there is none), which
// takes its place once complete: false where no such file can be made.
bool replaceText(RecordExport& records, const platform::OutputLookup& output) {
  if (output.exists && (!output.status.regular || output.status.links > 1)) return false;
  FileBeside beside(output.target, ".TxExport-");
  if (!beside.open(output.exists)) return false;
  writeText(records, beside.fd(), false, true);
  if (!beside.put()) fatalSystemError(kErrorWritingText);
  return true;
}

}  // namespace

void exportDatabase(const std::string& dbPath, const std::string& textPath) {
  // The database is checked before the text file is touched: a file that is
  // not a Tallix database (the arguments swapped, say) changes nothing.  It
  // holds the database against a rewrite until the export is done.
  FileDescriptor db = openDatabase(dbPath, DatabaseAccess::Read, "TxExport", stderr);
  BufferedReader dbFile(db.get());
  RecordExport records(dbFile);

  if (sameFile(db.get(), textPath)) failToOpen(textPath, kTextIsTheDatabase);
  refuseADatabaseAsText(textPath);
  // The kernel follows the path's links, with its protections against links
  // planted by other users; none is read here by hand.
  platform::OutputLookup output;
  if (!platform::lookUpOutput(textPath, output)) failToOpen(textPath, platform::errorText(errno));
  std::optional<exit_signals::RemoveOnExit> made;
  if (output.made) made.emplace(output.target);
  if (output.exists && !platform::canWrite(textPath)) failToOpen(textPath, platform::errorText(errno));
  if (output.made || !replaceText(records, output)) {
    // Written into: a stream, or a file that cannot be replaced.
    FileDescriptor textFd(platform::openForWriting(textPath));
    if (textFd.get() < 0) failToOpen(textPath, platform::errorText(errno));
    platform::FileStatus status;
    const bool stream = platform::status(textFd.get(), status) && !status.regular;
    writeText(records, textFd.get(), stream);
    textFd.close(kErrorWritingText);
  }
  if (made) made->keep();
  db.close(kErrorClosingDatabase);
}

int runExport(const std::vector<std::string>& arguments) {
  return runProgram(arguments, "TxExport", kUsage, arguments.size() == 3, [&arguments] {
    exportDatabase(arguments[1], arguments[2]);
    return 0;
  });
}

}  // namespace tx
