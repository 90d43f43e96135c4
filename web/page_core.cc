// The core of the web page: the export and the merge of the programs over
// bytes in memory, one question at a time, for the page's script.  Every
// rule is the programs' own (RecordExport, loadRecords, checkText,
// MergeSteps, writeDatabase); this file only carries bytes and answers
// across and turns a failure into the message the program would print.
#include <emscripten/bind.h>
#include <emscripten/val.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "dbformat/database_writer.h"
#include "exporter/exporter.h"
#include "exporter/record_export.h"
#include "importer/category_table.h"
#include "importer/import_merger.h"
#include "importer/line_diff.h"
#include "importer/merge_input.h"
#include "importer/overwrite_question.h"
#include "importer/record_list.h"
#include "system/fatal.h"
#include "system/file_io.h"
#include "system/open_file.h"
#include "system/platform.h"
#include "textformat/handheld_charset.h"
#include "textformat/text_reader.h"
#include "textformat/text_writer.h"

namespace tx::web {
namespace {

using emscripten::val;

// Bytes for the script, as a Uint8Array of their own.
val bytesOut(std::string_view bytes) {
  const val view(emscripten::typed_memory_view(bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data())));
  return view.call<val>("slice");
}

// Bytes from the script: made in the core's memory at their size, filled by
// the script through view(), so that they cross in one copy.
// Bytes in the core's memory, not cleared first: the script fills them at
// once.
struct Block {
  std::unique_ptr<char[]> bytes;
  std::size_t size = 0;
  char* data() const { return bytes.get(); }
  std::string_view view() const { return {bytes.get(), size}; }
};

class Bytes {
 public:
  explicit Bytes(double size)
      : block_{std::unique_ptr<char[]>(new char[static_cast<std::size_t>(size)]), static_cast<std::size_t>(size)} {}
  val view() { return val(emscripten::typed_memory_view(block_.size, reinterpret_cast<std::uint8_t*>(block_.data()))); }
  Block take() { return std::move(block_); }
  std::string_view bytes() const { return block_.view(); }

 private:
  Block block_;
};

// What a run that failed prints, as the program prints it.
std::string outOfMemoryText() { return std::string(kMallocFailure) + ": " + std::strerror(ENOMEM) + "\n"; }

template <class Work>
std::string failureOf(Work&& work) {
  return catchFailures(
      [&] {
        work();
        return std::string();
      },
      [](const Failure& failure) { return failure.text(); }, [] { return outOfMemoryText(); });
}

// The text in the page's memory.  A damaged or hostile database whose
// records share their bytes could make a text larger than the page can
// hold; it is refused at this size, as the program refuses one larger than
// any database can hold.
constexpr std::size_t kLongestPageText = std::size_t{512} << 20;
constexpr std::string_view kPageTextTooLong = "the text would pass 512 MiB, more than the page can hold";

class PageText : public ByteSink {
 public:
  void write(std::string_view bytes) override {
    if (bytes.size() > kLongestPageText - text_.size()) fatalError(kErrorWritingText, kPageTextTooLong);
    text_.append(bytes);
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// The text TxExport writes of the database `db`: {text, records} or
// {failure}.
val exportText(const Bytes& input) {
  const std::string_view db = input.bytes();
  val result = val::object();
  PageText text;
  std::size_t records = 0;
  const std::string failure = failureOf([&] {
    BufferedReader file(BufferedReader::InMemory{}, db);
    RecordExport exporter(file);
    records = exporter.writeTo(text);
  });
  if (!failure.empty()) {
    result.set("failure", failure);
    return result;
  }
  result.set("text", bytesOut(text.text()));
  result.set("records", static_cast<double>(records));
  return result;
}

// The handheld's character set, as the page's text area shows and takes it:
// the character of each byte, 0 to 255.
val handheldCharacters() {
  val characters = val::array();
  for (int byte = 0; byte < 256; ++byte) {
    characters.call<void>("push", static_cast<double>(handheldCharacter(static_cast<std::uint8_t>(byte))));
  }
  return characters;
}

// A loaded text as the text area shows it: a UTF-8 text (one with the
// byte-order mark) converted to the handheld's bytes as TxImport converts
// it, its mark left out; any other text as it is.  {bytes} or {failure}.
val handheldText(Bytes& input) {
  const Block text = input.take();
  val result = val::object();
  std::size_t size = 0;
  const std::string failure = failureOf([&] { size = convertUtf8Text(text.data(), text.size); });
  if (!failure.empty()) {
    result.set("failure", failure);
    return result;
  }
  const std::size_t mark = text.view().starts_with(kUtf8Mark) ? kUtf8Mark.size() : 0;
  result.set("bytes", bytesOut(text.view().substr(mark, size - mark)));
  return result;
}

// What TxImport says of a text it refuses before reading any record (UTF-16,
// a database given as the text), or "".
std::string textRefusal(std::string name, Bytes& input) {
  const std::string_view text = input.bytes();
  return failureOf([&] {
    BufferedReader reader(BufferedReader::InMemory{}, text);
    checkText(reader, name);
  });
}

// The notes of the text reader, each the line TxImport writes for it.
class NoteList : public TextNotes {
 public:
  explicit NoteList(const std::string& textName) : textName_(textName) {}
  void note(std::uint64_t line, std::string_view words) override {
    lines_.push_back(importNote(textName_, line, words));
  }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  const std::string& textName_;
  std::vector<std::string> lines_;
};

// One import: the database and the text are read and checked when it is
// made; next() merges up to the next question, answer() answers it, and
// database() writes the result.  A failure ends it: failure() then holds
// the program's message and nothing is written.
class PageImport {
 public:
  PageImport(Bytes& db, std::string textName, Bytes& text)
      : db_(db.take()), textName_(std::move(textName)), text_(text.take()), notes_(textName_) {
    failure_ = failureOf([&] {
      BufferedReader file(BufferedReader::InMemory{}, db_.view());
      parts_ = loadRecords(file, list_);
      text_.size = convertUtf8Text(text_.data(), text_.size);
      textReader_ = std::make_unique<BufferedReader>(BufferedReader::InMemory{}, text_.view());
      checkText(*textReader_, textName_);
      categories_ = std::make_unique<CategoryTable>(parts_.appInfo);
      steps_ = std::make_unique<MergeSteps>(list_, *categories_, *textReader_, &notes_);
    });
  }

  const std::string& failure() const { return failure_; }

  // True while a question waits for its answer.
  bool next() {
    if (!failure_.empty() || merged_) return false;
    bool asking = false;
    failure_ = failureOf([&] { asking = steps_->next(); });
    merged_ = failure_.empty() && !asking;
    return asking;
  }

  // 0 Yes, 1 No, 2 All.
  void answer(int answer) {
    const OverwriteAnswer given = answer == 0 ? OverwriteAnswer::Yes
                                  : answer == 1 ? OverwriteAnswer::No
                                                : OverwriteAnswer::All;
    failure_ = failureOf([&] { steps_->answer(given); });
  }

  // The two records of the question, each as the block the export writes.
  val existing() const { return blockOf(steps_->existing()); }
  val incoming() const { return blockOf(steps_->incoming()); }
  // The question as the program asks it.
  val question() const { return bytesOut(overwriteQuestion(steps_->existing().text)); }
  // Which lines of the two blocks differ, by the line diff that shows them
  // at a terminal: {existing: [bool], incoming: [bool]}, a line each.
  val marks() const {
    const std::string existing = blockText(steps_->existing()), incoming = blockText(steps_->incoming());
    const std::vector<std::string_view> before = splitLines(existing), after = splitLines(incoming);
    std::vector<bool> removed(before.size(), false), added(after.size(), false);
    for (const DiffLine& line : lineDiff(before, after)) {
      if (line.kind == DiffLine::Removed) removed[line.index] = true;
      if (line.kind == DiffLine::Added) added[line.index] = true;
    }
    auto array = [](const std::vector<bool>& marked) {
      val out = val::array();
      for (const bool each : marked) out.call<void>("push", each);
      return out;
    };
    val result = val::object();
    result.set("existing", array(removed));
    result.set("incoming", array(added));
    return result;
  }

  val notes() const {
    val lines = val::array();
    for (const std::string& line : notes_.lines()) lines.call<void>("push", bytesOut(line));
    return lines;
  }

  double records() const { return static_cast<double>(list_.size()); }

  // The merged database, its three dates `now` (seconds since 1970), as
  // TxImport writes it; null on a failure, which failure() then holds.
  val database(double now) {
    if (!merged_) return val::null();
    val bytes = val::null();
    failure_ = failureOf([&] { bytes = writeInMemory(static_cast<std::uint32_t>(now)); });
    return bytes;
  }

 private:
  std::string blockText(const Record& record) const {
    StringSink block;
    TextRecordWriter writer(block);
    ExportVisitor visitor(parts_.appInfo, writer);
    visitor.beginRecord(record);
    visitor.textBytes(record.text);
    visitor.endRecord();
    return block.text();
  }
  val blockOf(const Record& record) const { return bytesOut(blockText(record)); }

  // The writer writes to a file of the page's own in-memory file system,
  // whose bytes the script then gets as they are; the file is removed
  // either way.
  val writeInMemory(std::uint32_t now) {
    static constexpr const char* kPath = "/tmp/merged.pdb";
    struct Removed {
      ~Removed() { platform::removeFile(kPath); }
    } removed;
    FileDescriptor out(platform::openForWriting(kPath));
    if (out.get() < 0) fatalSystemError(kErrorWritingHeader);
    // Its room is made once, at its size, rather than grown as it is
    // written; where that fails, the writes say why.
    (void)platform::truncateFile(out.get(), databaseFileSize(list_.records()));
    writeDatabase(out.get(), parts_.header, parts_.appInfo, list_.records(), now, db_.view());
    out.close(kErrorWritingRecord);
    // The file's own bytes, which outlive its name, without another copy.
    const val node = val::module_property("FS").call<val>("lookupPath", std::string(kPath))["node"];
    return node["contents"].call<val>("subarray", 0, node["usedBytes"]);
  }

  const Block db_;
  const std::string textName_;
  Block text_;
  RecordList list_;
  DatabaseParts parts_;
  NoteList notes_;
  std::unique_ptr<BufferedReader> textReader_;
  std::unique_ptr<CategoryTable> categories_;
  std::unique_ptr<MergeSteps> steps_;
  std::string failure_;
  bool merged_ = false;
};

}  // namespace
}  // namespace tx::web

EMSCRIPTEN_BINDINGS(txcore) {
  using namespace tx::web;
  emscripten::class_<Bytes>("Bytes").constructor<double>().function("view", &Bytes::view);
  emscripten::function("exportText", &exportText);
  emscripten::function("handheldCharacters", &handheldCharacters);
  emscripten::function("handheldText", &handheldText);
  emscripten::function("textRefusal", &textRefusal);
  emscripten::class_<PageImport>("PageImport")
      .constructor<Bytes&, std::string, Bytes&>()
      .function("failure", &PageImport::failure)
      .function("next", &PageImport::next)
      .function("answer", &PageImport::answer)
      .function("existing", &PageImport::existing)
      .function("incoming", &PageImport::incoming)
      .function("question", &PageImport::question)
      .function("marks", &PageImport::marks)
      .function("notes", &PageImport::notes)
      .function("records", &PageImport::records)
      .function("database", &PageImport::database);
}
