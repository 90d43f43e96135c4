// The TxExport program: every record of a database, in database order, as
// blocks of text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "exporter/record_export.h"
#include "system/exit_signals.h"
#include "system/large_memory.h"
#include "textformat/text_format.h"

namespace tx {

inline constexpr std::string_view kErrorWritingText = "Error writing text file";

// The text file while it is written.  Into a file, through the block
// writer: until finish(), the file is only ever kept up to the end of its
// last complete record, and a run that ends early, by a failure or by a
// signal, cuts it back there, so no torn record is left to import.  Into a
// pipe or a device (`stream`), which cannot be cut back, only whole records
// go: the bytes of a record go out once it is complete (in blocks of
// `blockSize` or more), and those of one that is not are dropped.
class TextFile : public ByteSink {
 public:
  static constexpr std::size_t kBlockSize = kHugePageSize;

  // `flushed`: the file will be flushed to the disk once complete, so each
  // block's write to the disk is started as soon as it is written.
  explicit TextFile(int fd, std::size_t blockSize = kBlockSize, bool stream = false, bool flushed = false);
  ~TextFile() override;
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;

  void write(std::string_view bytes) override;
  void endOfUnit() override;

  // Writes out everything; the file is then complete and kept as it is.
  void finish();

 private:
  void put(std::string_view bytes);
  [[noreturn]] void fail(int error);
  // Where the last complete record has reached the file, the file is kept
  // up to its end.
  void keepWhatIsWhole();
  // Into a stream: the complete records held, out.
  void sendWhole();

  int fd_;
  std::size_t blockSize_;
  bool stream_;
  bool flushed_;
  std::uint64_t writtenBack_ = 0;  // where the writes to the disk were started up to
  BlockWriter out_;
  std::string held_;             // into a stream: what is not sent yet
  std::uint64_t given_ = 0;      // bytes given to the writer
  std::uint64_t recordEnd_ = 0;  // in them: the end of the last complete record
  // Until finish(), the file is cut back to the end of its last complete
  // record when the run ends.
  exit_signals::PutBack cutBack_;
  bool broken_ = false;        // a write failed: nothing more is written
  bool finished_ = false;
};

// Exports the database at `dbPath` into the text file at `textPath`.  A
// regular or missing text file is replaced whole: the new text is written
// beside it and takes its place only once complete, so that a failure
// leaves it as it was.  One that cannot be replaced so (other hard links, a
// directory that takes no new file, an owner or attribute a new file cannot
// have) is written into, and a failure leaves the complete records before
// it.
void exportDatabase(const std::string& dbPath, const std::string& textPath);

// The whole TxExport program: `TxExport DbFileName TextFileName`.  Returns
// its exit status; a failure is printed first.
int runExport(const std::vector<std::string>& arguments);

}  // namespace tx
