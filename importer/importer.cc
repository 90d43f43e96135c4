#include "importer/importer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dbformat/database_file.h"
#include "dbformat/database_reader.h"
#include "dbformat/database_writer.h"
#include "exporter/record_export.h"
#include "importer/category_table.h"
#include "importer/import_merger.h"
#include "importer/merge_input.h"
#include "importer/record_list.h"
#include "importer/replacement_file.h"
#include "system/command_line.h"
#include "system/beside.h"
#include "system/exit_signals.h"
#include "system/fatal.h"
#include "system/file_io.h"
#include "system/mapped_file.h"
#include "system/open_file.h"
#include "system/platform.h"
#include "textformat/text_reader.h"
#include "textformat/text_writer.h"

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
constexpr std::string_view kOutputIsNoDatabase = "it exists and is not a Tallix database, so it is not overwritten";
constexpr std::string_view kErrorReadingDatabase = "Error reading database file";

// A file of `size` bytes whole in memory: the bytes it got, and the error
// that stopped it short.  The reader over them reports that error where it
// reaches their end, as a reader of the file would.
struct WholeFile {
  std::string_view bytes;
  int error = 0;
};

// Mapped where `mapping` is given and the host can (it then holds the
// mapping), else read into a block of `texts`.  A mapped byte that cannot
// be read fails the run with `failure` ("Error reading text file").
WholeFile wholeFile(int fd, std::size_t size, TextArena& texts, std::unique_ptr<MappedFile>* mapping,
                    std::string_view failure) {
  if (mapping) {
    *mapping = std::make_unique<MappedFile>(fd, size, failure);
    if ((*mapping)->mapped()) return {std::string_view((*mapping)->bytes(), size), 0};
    mapping->reset();
  }
  char* block = texts.allocate(size);
  const ReadResult read = readFromStart(fd, block, size);
  return {std::string_view(block, read.got), read.error};
}

// A new database never takes the place of a file of another kind (the text
// file, when the arguments are swapped): an existing output must be empty,
// not a regular file, or a Tallix database.  (The old database itself is
// never checked here.)
void checkOutput(const std::string& outputPath) {
  platform::FileStatus info;
  if (!platform::status(outputPath, info) || !info.regular || info.size == 0) return;
  FileDescriptor output(platform::openForReading(outputPath));
  if (output.get() < 0) failToOpen(outputPath, platform::errorText(errno));
  if (!startsAsTallixDatabase(output.get())) failToOpen(outputPath, kOutputIsNoDatabase);
}

// Each note on its own line of `out`, naming the text file.
class NotesTo : public TextNotes {
 public:
  NotesTo(std::FILE* out, const std::string& textPath) : out_(out), textPath_(textPath) {}
  void note(std::uint64_t line, std::string_view words) override {
    reportNote(out_, importNote(textPath_, line, words));
  }

 private:
  std::FILE* out_;
  const std::string& textPath_;
};

// The old database as it was loaded.  On an update in place it is open for
// writing, with the update lock, which the output takes over and holds
// until the update is complete.
struct OldDatabase : DatabaseParts {
  std::string_view bytes;  // as read, in the list's storage or mapped
  std::unique_ptr<MappedFile> mapping;
  std::unique_ptr<BufferedReader> reader;  // over the bytes
  std::unique_ptr<DatabaseLoad> load;      // its header and app info read, its records to come
  platform::FileStatus status;
  FileDescriptor file;
  bool inPlace = false;
};

// Reads the old database whole, and its header and app info block; its
// records, with their texts where they lie, come with old.load.  Where the
// output is another file, the database is mapped; where it is the output,
// it is read into one block that the list owns, so that its bytes as read
// stay as they were while the file is written.
OldDatabase openOldDatabase(const std::string& oldPath, const std::string& outputPath, RecordList& list,
                            std::FILE* notes) {
  OldDatabase old;
  old.file = openDatabase(oldPath, DatabaseAccess::Read, "TxImport", notes);
  old.inPlace = sameFile(old.file.get(), outputPath);
  if (old.inPlace) {
    // Opened again to be written, and its status taken from there: a file
    // system that copies a file when it is opened for writing (an overlay)
    // has then done so.
    old.file = FileDescriptor();
    old.file = openDatabase(oldPath, DatabaseAccess::Update, "TxImport", notes);
  }
  if (!platform::status(old.file.get(), old.status)) fatalSystemError(kErrorReadingHeader);
  const WholeFile whole = wholeFile(old.file.get(), static_cast<std::size_t>(old.status.size), list.texts(),
                                    old.inPlace ? nullptr : &old.mapping, kErrorReadingDatabase);
  old.bytes = whole.bytes;
  old.reader = std::make_unique<BufferedReader>(BufferedReader::InMemory{}, whole.bytes, whole.error);
  old.load = std::make_unique<DatabaseLoad>(*old.reader);
  static_cast<DatabaseParts&>(old) = old.load->start();
  return old;
}

// The notes of a text read on a second thread, given later in their order.
class NotesHeld : public TextNotes {
 public:
  void note(std::uint64_t line, std::string_view words) override { held_.emplace_back(line, words); }
  void give(TextNotes& notes) const {
    for (const auto& [line, words] : held_) notes.note(line, words);
  }

 private:
  std::vector<std::pair<std::uint64_t, std::string>> held_;
};

// The text file, opened, checked and read whole: its records, their texts
// where they lie or in `texts`.
struct IncomingText {
  FileDescriptor file;
  std::unique_ptr<MappedFile> mapping;
  std::unique_ptr<BufferedReader> reader;
  TextArena texts;
  TextRecords records;
  NotesHeld notes;
};

// Opens the text file, which must not be the output.
FileDescriptor openText(const std::string& textPath, const std::string& outputPath) {
  FileDescriptor text = openForReading(textPath);
  if (sameFile(text.get(), outputPath)) failToOpen(outputPath, kOutputIsTheText);
  return text;
}

// A text file is mapped, or read whole into `storage`, so that the texts
// of its records are used where they lie; a pipe is read as it comes,
// unless it is UTF-8 (it starts with the byte-order mark), which is read
// whole.  A UTF-8 text is converted to the handheld's character set where
// it lies (a mapped one in the run's own pages).
std::unique_ptr<BufferedReader> readerOfText(int fd, TextArena& storage, std::unique_ptr<MappedFile>& mapping) {
  platform::FileStatus status;
  if (platform::status(fd, status) && status.regular) {
    const WholeFile whole =
        wholeFile(fd, static_cast<std::size_t>(status.size), storage, &mapping, kErrorReadingText);
    if (whole.error != 0 || !whole.bytes.starts_with(kUtf8Mark)) {
      return std::make_unique<BufferedReader>(BufferedReader::InMemory{}, whole.bytes, whole.error);
    }
    // Converted in the run's own memory: a mapped text is copied there first.
    char* bytes = const_cast<char*>(whole.bytes.data());
    if (mapping) {
      bytes = storage.allocate(whole.bytes.size());
      std::copy(whole.bytes.begin(), whole.bytes.end(), bytes);
    }
    const std::size_t size = convertUtf8Text(bytes, whole.bytes.size());
    return std::make_unique<BufferedReader>(BufferedReader::InMemory{}, std::string_view(bytes, size));
  }
  auto stream = std::make_unique<BufferedReader>(fd);
  if (stream->peek(3).substr(0, 3) != "\xEF\xBB\xBF") return stream;
  std::string all;
  for (std::string_view chunk; !(chunk = stream->peek()).empty(); stream->advance(chunk.size())) all.append(chunk);
  char* bytes = storage.allocate(all.size());
  std::copy(all.begin(), all.end(), bytes);
  const int error = stream->error();
  const std::size_t size = error == 0 ? convertUtf8Text(bytes, all.size()) : all.size();
  return std::make_unique<BufferedReader>(BufferedReader::InMemory{}, std::string_view(bytes, size), error);
}

// A record as the export writes it.
std::string blockOf(const AppInfoBlock& appInfo, const Record& record) {
  StringSink block;
  TextRecordWriter writer(block);
  ExportVisitor visitor(appInfo, writer);
  visitor.beginRecord(record);
  visitor.textBytes(record.text);
  visitor.endRecord();
  return block.text();
}

// Colour for a terminal that has it, unless NO_COLOR is set.
bool terminalHasColour() {
  const char* none = std::getenv("NO_COLOR");
  const char* term = std::getenv("TERM");
  return (!none || !none[0]) && term && term[0] && std::string_view(term) != "dumb";
}

// Writes the merged records: the output is replaced as a whole or not at all.
void writeResult(ReplacementFile& output, const OldDatabase& old, const RecordList& list) {
  const std::uint32_t now = static_cast<std::uint32_t>(std::time(nullptr));
  output.write(databaseFileSize(list.records()), [&](int fd, std::size_t holdBack) {
    return writeDatabase(fd, old.header, old.appInfo, list.records(), now, old.bytes, holdBack);
  });
}

}  // namespace

void importDatabase(const std::string& oldPath, const std::string& textPath, const std::string& outputPath,
                    AnswerReader& answers, std::FILE* out, std::FILE* notesOut, bool atTerminal) {
  // Load: the old database is read completely first, its records while
  // the whole text file is read on a second thread (where the host has
  // one).  A failure of the database is the one reported; the text's notes
  // wait until the output is known to be writable.
  RecordList list;
  OldDatabase old = openOldDatabase(oldPath, outputPath, list, notesOut);
  CategoryTable categories(old.appInfo);
  IncomingText text;
  runBeside([&] { old.load->records(list); },
            [&] {
              text.file = openText(textPath, outputPath);
              text.reader = readerOfText(text.file.get(), text.texts, text.mapping);
              checkText(*text.reader, textPath);
              text.records = readTextRecords(*text.reader, categories, text.texts, &text.notes);
            });

  // Merge: every reason not to write the output is found before the first
  // question.
  if (!old.inPlace) checkOutput(outputPath);
  ReplacementFile output(outputPath, old.inPlace ? std::optional<platform::FileStatus>(old.status) : std::nullopt,
                         old.bytes, old.inPlace ? std::move(old.file) : FileDescriptor(), notesOut);
  answers.refuseIfSameAs(text.file.get());
  NotesTo notes(notesOut, textPath);
  text.notes.give(notes);
  ImportMerger merger(list, categories, answers, out, &notes);
  if (atTerminal) {
    merger.showConflicts([&old, out](const Record& existing, const Record& incoming) {
      const std::string diff = conflictDiff(blockOf(old.appInfo, existing), blockOf(old.appInfo, incoming),
                                            terminalHasColour(), platform::kLineEnd == "\n");
      std::fwrite(diff.data(), 1, diff.size(), out);
    });
  }
  merger.merge(std::move(text.records));
  text.file.close(kErrorClosingText);

  // Write.  The old database, read whole, is closed first where it is not
  // the output; the output closes it before it replaces it, so that no
  // handle of this run's keeps a host from replacing it.
  if (old.file.get() >= 0) old.file.close(kErrorClosingDatabase);
  writeResult(output, old, list);
  list.clear();
  if (atTerminal) {
    const MergeCounts& done = merger.counts();
    const std::string summary = "TxImport: " + std::to_string(done.added) + " added, " + std::to_string(done.replaced) +
                                " replaced, " + std::to_string(done.keptBeside) + " kept beside a new version, " +
                                std::to_string(done.unchanged) + " unchanged\n";
    std::fwrite(summary.data(), 1, summary.size(), notesOut);
  }
}

int runImport(const std::vector<std::string>& arguments) {
  const bool countIsRight = arguments.size() == 3 || arguments.size() == 4;
  return runProgram(arguments, "TxImport", kUsage, countIsRight, [&arguments] {
    AnswerReader answers(0);
    // A person at a terminal sees each conflict, a hint and what was done.
    const bool atTerminal = platform::isConsole(0) && platform::isConsole(1);
    importDatabase(arguments[1], arguments[2], arguments.size() == 4 ? arguments[3] : arguments[1], answers, stdout,
                   stderr, atTerminal);
    return 0;
  });
}

}  // namespace tx
