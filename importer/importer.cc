#include "importer/importer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "system/command_line.h"
#include "dbformat/database_reader.h"
#include "system/exit_signals.h"
#include "system/fatal.h"
#include "system/file_io.h"
#include "system/open_file.h"
#include "system/platform.h"
#include "importer/category_table.h"
#include "importer/database_writer.h"
#include "importer/import_merger.h"
#include "importer/record_list.h"
#include "importer/replacement_file.h"
#include "textformat/text_records.h"

namespace tx {
namespace {

constexpr std::string_view kUsage =
    "Format: TXIMPORT OldDbFileName TextFileName [NewDbFileName]\n"
    "\n"
    "Specify NewDbFileName to create a new database file and leave\n"
    "OldDbFileName untouched as a backup, or omit NewDbFileName\n"
    "to update OldDbFileName in place.\n";
constexpr std::string_view kErrorClosingText = "Error closing text file";
constexpr std::string_view kOutputIsTheText = "it is the text file itself";
constexpr std::string_view kTextIsADatabase = "it is a Tallix database, not a text file";
constexpr std::string_view kTextIsUtf16 = "it is UTF-16 text; save it as UTF-8 or in an 8-bit character set";
constexpr std::string_view kOutputIsNoDatabase = "it exists and is not a Tallix database, so it is not overwritten";

// Turns each record of the old database into a node of the list, its text
// stored in the list's texts.
class LoadVisitor : public RecordVisitor {
 public:
  explicit LoadVisitor(RecordList& list) : list_(list) {}

  void beginRecord(const Record& info) override {
    node_ = Record{};
    node_.category = info.category;
    node_.secret = info.secret;
    node_.places = info.places;
    node_.stripZeros = info.stripZeros;
    pieces_ = 0;
  }
  void textBytes(std::string_view bytes) override {
    // A text in one piece is used where it lies; one in several is put
    // together in the list's storage.
    if (++pieces_ == 1) {
      node_.text = bytes;
      return;
    }
    if (pieces_ == 2) {
      list_.texts().begin();
      list_.texts().append(node_.text);
    }
    list_.texts().append(bytes);
  }
  void endRecord() override {
    if (pieces_ > 1) node_.text = list_.texts().finish();
    list_.append(node_, kErrorReadingRecordList);
  }

 private:
  RecordList& list_;
  Record node_;
  std::size_t pieces_ = 0;
};

// A file of `size` bytes read whole into a block of `texts`: the bytes it
// got, and the error that stopped it short.  The reader over them reports
// that error where it reaches their end, as a reader of the file would.
struct WholeFile {
  std::string_view bytes;
  int error = 0;
};

WholeFile readWhole(int fd, std::size_t size, TextArena& texts) {
  char* block = texts.allocate(size);
  const ReadResult read = readFromStart(fd, block, size);
  return {std::string_view(block, read.got), read.error};
}

// A database given as the text file (the arguments swapped, say) would be
// read as one garbled record; UTF-16 text would be too.
void checkText(BufferedReader& text, const std::string& textPath) {
  if (isTallixDatabase(text.peek(kHeaderSize))) failToOpen(textPath, kTextIsADatabase);
  if (readByteOrderMark(text) == ByteOrderMark::Utf16) {
    failToOpen(textPath, kTextIsUtf16);
  }
}

// A new database never takes the place of a file of another kind (the text
// file, when the arguments are swapped): an existing output must be empty,
// not a regular file, or a Tallix database.  (The old database itself is
// never checked here.)
void checkOutput(const std::string& outputPath) {
  platform::FileStatus info;
  if (!platform::status(outputPath, info) || !info.regular || info.size == 0) return;
  FileDescriptor output(platform::openForReading(outputPath));
  if (output.get() < 0) failToOpen(outputPath, std::strerror(errno));
  if (!startsAsTallixDatabase(output.get())) failToOpen(outputPath, kOutputIsNoDatabase);
}

// Each note on its own line of `out`, naming the text file.
class NotesTo : public TextNotes {
 public:
  NotesTo(std::FILE* out, const std::string& textPath) : out_(out), textPath_(textPath) {}
  void note(std::uint64_t line, std::string_view words) override {
    std::string text = "TxImport: note: \"" + textPath_ + "\" line " + std::to_string(line) + ": ";
    text.append(words).push_back('\n');
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
  }

 private:
  std::FILE* out_;
  const std::string& textPath_;
};

}  // namespace

void importDatabase(const std::string& oldPath, const std::string& textPath, const std::string& outputPath,
                    AnswerReader& answers, std::FILE* out, std::FILE* notesOut) {
  // Load: the old database is read completely first.  On an update in place
  // it stays open, locked against a second import of it.
  HeaderBytes header{};
  AppInfoBlock appInfo{};
  RecordList list;
  std::string_view oldBytes;  // the old database as read, in the list's storage
  FileDescriptor db = openForReading(oldPath);
  platform::FileStatus oldStatus;
  if (!platform::status(db.get(), oldStatus)) fatalSystemError(kErrorReadingHeader);
  const bool inPlace = sameFile(db.get(), outputPath);
  if (inPlace && platform::lockForUpdate(db.get()) == EWOULDBLOCK) failToOpen(oldPath, kAnotherImport);
  {
    // The old database is read whole into one block that the list owns; its
    // texts stay where they lie there.
    const WholeFile whole = readWhole(db.get(), static_cast<std::size_t>(oldStatus.size), list.texts());
    oldBytes = whole.bytes;
    BufferedReader file(BufferedReader::InMemory{}, whole.bytes, whole.error);
    DatabaseReader reader(file);
    reader.readHeader("TxImport");
    reader.readAppInfo(appInfo.data(), appInfo.size());
    LoadVisitor visitor(list);
    reader.forEachRecord(visitor);
    header = reader.header();
  }

  // Merge: the whole text file is read before the output is touched, and
  // every reason not to write the output is found before the first question.
  FileDescriptor textFd = openForReading(textPath);
  if (sameFile(textFd.get(), outputPath)) failToOpen(outputPath, kOutputIsTheText);
  // A text file is read whole into the list's storage, so that the texts of
  // its records are used where they lie; a pipe is read as it comes.
  platform::FileStatus textStatus;
  const bool isFile = platform::status(textFd.get(), textStatus) && textStatus.regular;
  const WholeFile whole = isFile ? readWhole(textFd.get(), static_cast<std::size_t>(textStatus.size), list.texts())
                                 : WholeFile{};
  BufferedReader text = isFile ? BufferedReader(BufferedReader::InMemory{}, whole.bytes, whole.error)
                               : BufferedReader(textFd.get());
  checkText(text, textPath);
  if (!inPlace) checkOutput(outputPath);
  ReplacementFile output(outputPath, inPlace ? std::optional<platform::FileStatus>(oldStatus) : std::nullopt, oldBytes);
  answers.refuseIfSameAs(textFd.get());
  CategoryTable categories(appInfo);
  NotesTo notes(notesOut, textPath);
  ImportMerger merger(list, categories, answers, out, &notes);
  merger.merge(text);
  textFd.close(kErrorClosingText);

  // Write: the output is replaced as a whole or not at all.
  const std::uint32_t now = static_cast<std::uint32_t>(std::time(nullptr));
  output.write(DatabaseWriter::fileSize(list.records()), [&](int fd) {
    DatabaseWriter::write(fd, header, appInfo, list.records(), now, oldBytes);
  });
  db.close(kErrorClosingDatabase);
  list.clear();
}

int runImport(const std::vector<std::string>& arguments) {
  if (answeredAnOption(arguments, "TxImport", kUsage)) return 0;
  if (arguments.size() != 3 && arguments.size() != 4) {
    std::fwrite(kUsage.data(), 1, kUsage.size(), stdout);
    return 1;
  }
  platform::openMissingStandardStreams();
  platform::reportFileSizeLimits();
  exit_signals::install();
  return runReportingFailures([&arguments] {
    AnswerReader answers(0);
    importDatabase(arguments[1], arguments[2], arguments.size() == 4 ? arguments[3] : arguments[1], answers, stdout, stderr);
    return 0;
  });
}

}  // namespace tx
