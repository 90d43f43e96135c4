#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dbformat/database_format.h"
#include "dbformat/database_reader.h"
#include "system/exit_signals.h"
#include "system/large_memory.h"
#include "textformat/text_records.h"

namespace tx {

inline constexpr std::string_view kErrorWritingText = "Error writing text file";

// Copies each record into the text form as it is read, naming its category
// from the category part of `appInfo`.
class ExportVisitor : public RecordVisitor {
 public:
  ExportVisitor(const AppInfoBlock& appInfo, TextRecordWriter& writer) : appInfo_(appInfo), writer_(writer) {}

  void beginRecord(const Record& info) override;
  void textBytes(std::string_view bytes) override { writer_.writeText(bytes); }
  void endRecord() override { writer_.endRecord(); }

 private:
  const AppInfoBlock& appInfo_;
  TextRecordWriter& writer_;
};

// The text file while it is written.  Records leave the buffer whole where
// they fit in it.  Until finish(), the file is only ever kept up to the end
// of its last complete record: a run that ends early, by a failure or by a
// signal, cuts the file back there, so no torn record is left to import.
//
// The buffer is large (one huge page where the host has them): each write
// ends where a record ends, so at no fixed boundary, and a file written in
// many small pieces that start mid-page costs the system far more to write,
// and later to empty, than one written in a few large ones.
class TextFile : public ByteSink {
 public:
  static constexpr std::size_t kBlockSize = kHugePageSize;

  explicit TextFile(int fd, std::size_t blockSize = kBlockSize);
  ~TextFile() override;
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;

  void write(std::string_view bytes) override;
  void endOfUnit() override { recordEnd_ = used_; }

  // Writes out everything; the file is then complete and kept as it is.
  void finish();

 private:
  // Copies bytes into the buffer as they are, writing out when it is full.
  void put(std::string_view bytes);
  // Writes buffer_[0, length), where length is recordEnd_ or the whole
  // buffer, and moves what follows to the front.
  void writeOut(std::size_t length);

  int fd_;
  std::size_t blockSize_;
  LargeMemory memory_;
  char* buffer_;
  std::size_t used_ = 0;       // bytes in buffer_
  std::size_t recordEnd_ = 0;  // in buffer_: the end of its last complete record
  std::uint64_t written_ = 0;  // bytes in the file
  // Until finish(), the file is cut back to the end of its last complete
  // record when the run ends.
  exit_signals::PutBack cutBack_;
  bool broken_ = false;        // a write failed: nothing more is written
  bool finished_ = false;
};

// Exports the database at `dbPath` into the text file at `textPath`; a
// failure leaves the text file with the complete records before it.
void exportDatabase(const std::string& dbPath, const std::string& textPath);

// The whole TxExport program: `TxExport DbFileName TextFileName`.  Returns
// its exit status; a failure is printed first.
int runExport(const std::vector<std::string>& arguments);

}  // namespace tx
