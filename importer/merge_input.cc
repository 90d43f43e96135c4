#include "importer/merge_input.h"

#include "dbformat/database_reader.h"
#include "system/fatal.h"
#include "system/open_file.h"
#include "textformat/handheld_charset.h"
#include "textformat/text_reader.h"

namespace tx {
namespace {

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

}  // namespace

DatabaseParts DatabaseLoad::start() {
  DatabaseParts parts;
  reader_.readHeader("TxImport");
  reader_.readAppInfo(parts.appInfo.data(), parts.appInfo.size());
  parts.header = reader_.header();
  return parts;
}

void DatabaseLoad::records(RecordList& list) {
  LoadVisitor visitor(list);
  reader_.forEachRecord(visitor);
}

DatabaseParts loadRecords(BufferedReader& file, RecordList& list) {
  DatabaseLoad load(file);
  const DatabaseParts parts = load.start();
  load.records(list);
  return parts;
}

void checkText(BufferedReader& text, const std::string& textPath) {
  if (isTallixDatabase(text.peek(kHeaderSize))) failToOpen(textPath, kTextIsADatabase);
  if (byteOrderMarkOf(text) == ByteOrderMark::Utf16) failToOpen(textPath, kTextIsUtf16);
}

std::size_t convertUtf8Text(char* bytes, std::size_t size) {
  constexpr std::string_view kMark = kUtf8Mark;
  if (std::string_view(bytes, size).substr(0, kMark.size()) != kMark) return size;
  const HandheldConversion converted = utf8ToHandheld(bytes + kMark.size(), size - kMark.size());
  if (converted.badLine != 0) {
    fatalError("Error reading text file", "line " + std::to_string(converted.badLine) +
                                              " holds a character that the handheld's character set does not have");
  }
  return kMark.size() + converted.size;
}

std::string importNote(std::string_view textPath, std::uint64_t line, std::string_view words) {
  return noteText("TxImport", textPath, " line " + std::to_string(line), words);
}

}  // namespace tx
