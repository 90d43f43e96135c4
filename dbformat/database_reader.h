// The one reader of database files that both programs use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "dbformat/database_format.h"
#include "system/file_io.h"

namespace tx {

inline constexpr std::string_view kNotTallixMessage = "Not a Tallix database file\n";
inline constexpr std::string_view kErrorReadingHeader = "Error reading database header";
inline constexpr std::string_view kErrorReadingAppInfo = "Error reading database app info block";
inline constexpr std::string_view kErrorReadingRecordList = "Error reading database record list";
inline constexpr std::string_view kErrorReadingEntries = "Error reading database record entries";
inline constexpr std::string_view kErrorReadingRecord = "Error reading database record";
inline constexpr std::string_view kErrorClosingDatabase = "Error closing database file";
inline constexpr std::string_view kRecordListsOverlap = "a record list overlaps a record list read before it";

// True when `start`, the first bytes of a file, is long enough to hold the
// type and creator and they are "Data" and "TalX".
bool isTallixDatabase(std::string_view start);

// True when the file open as `fd` starts as a Tallix database does.
bool startsAsTallixDatabase(int fd);

// Receives the records in record-list order: beginRecord with a record's
// settings (its text empty), then its text in one or more pieces, which hold
// no 0 byte, then endRecord.
class RecordVisitor {
 public:
  virtual ~RecordVisitor() = default;
  virtual void beginRecord(const Record& settings) = 0;
  virtual void textBytes(std::string_view bytes) = 0;
  virtual void endRecord() = 0;
};

// Checks a database, loads its application info block and walks every record
// list.  Every failure fails the run where it is detected (a Failure, which
// the program's edge prints and ends with status 1): format messages for
// standard output, read failures for standard error.  Used in this order:
// readHeader, readAppInfo, forEachRecord.
class DatabaseReader {
 public:
  explicit DatabaseReader(BufferedReader& file) : file_(file) {}

  // Reads and checks the header: type "Data", creator "TalX", version 1.
  // `programName` is named in the message about an unknown version.
  void readHeader(std::string_view programName);

  // Reads `size` bytes of the application info block into `block`.
  void readAppInfo(std::uint8_t* block, std::size_t size);

  // Hands every record to `visitor`, entry after entry, list after list,
  // whatever the order of their data in the file.  A record's text runs to
  // its first 0 byte or the end of the file.  A record list occupies its
  // header and its entries; one whose bytes overlap those of a list read
  // before it (a chain that leads back to a list already read, among others)
  // is reported as a failure, so that the chain always ends and no entry is
  // read twice.  Lists that only touch are fine, and so is record data that
  // several entries share.
  void forEachRecord(RecordVisitor& visitor);

  // The 72 header bytes exactly as stored.
  const HeaderBytes& header() const { return header_; }
  std::uint32_t appInfoOffset() const { return getBigEndian32(&header_[kAppInfoOffsetOffset]); }

 private:
  // One record of an entry: its settings, its text, to the visitor.
  void readRecord(const std::uint8_t* entry, RecordVisitor& visitor);
  void readText(RecordVisitor& visitor);

  BufferedReader& file_;
  HeaderBytes header_{};
};

}  // namespace tx
