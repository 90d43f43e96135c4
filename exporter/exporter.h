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
#include "textformat/text_records.h"

namespace tx {

inline constexpr std::string_view kErrorWritingText = "Error writing text file";

// The text file while it is written, through the block writer.  Until
// finish(), the file is only ever kept up to the end of its last complete
// record: a run that ends early, by a failure or by a signal, cuts the file
// back there, so no torn record is left to import.
class TextFile : public ByteSink {
 public:
  static constexpr std::size_t kBlockSize = kHugePageSize;

  explicit TextFile(int fd, std::size_t blockSize = kBlockSize);
  ~TextFile() override;
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;

  void write(std::string_view bytes) override;
  void endOfUnit() override;

  // Writes out everything; the file is then complete and kept as it is.
  void finish();

 private:
  void put(std::string_view bytes);
  [[noreturn]] void fail();
  // Where the last complete record has reached the file, the file is kept
  // up to its end.
  void keepWhatIsWhole();

  BlockWriter out_;
  std::uint64_t given_ = 0;      // bytes given to the writer
  std::uint64_t recordEnd_ = 0;  // in them: the end of the last complete record
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
