#include "dbformat/database_writer.h"

#include <cerrno>
#include <cstdint>
#include <string>

#include "system/file_io.h"

#include "system/fatal.h"

namespace tx {
namespace {

std::string_view asChars(const std::uint8_t* bytes, std::size_t size) {
  return {reinterpret_cast<const char*>(bytes), size};
}

// Where `record` lies in `stored` just as it is written (its places and
// strip-zeros bytes before its text, a 0 byte after it): the offset of its
// first byte there; otherwise npos.
std::size_t storedAt(std::string_view stored, const Record& record) {
  if (stored.empty() || record.text.empty()) return std::string_view::npos;
  const auto base = reinterpret_cast<std::uintptr_t>(stored.data());
  const auto text = reinterpret_cast<std::uintptr_t>(record.text.data());
  if (text < base + kRecordPrefixSize || text - base + record.text.size() >= stored.size()) {
    return std::string_view::npos;
  }
  const std::size_t at = text - base - kRecordPrefixSize;
  const bool asWritten = static_cast<std::uint8_t>(stored[at]) == record.places &&
                         static_cast<std::uint8_t>(stored[at + 1]) == record.stripZeros &&
                         stored[at + kRecordPrefixSize + record.text.size()] == '\0';
  return asWritten ? at : std::string_view::npos;
}

// The file as it is written: a failure names the part of the file where
// the first byte that did not reach it belongs.
class Output {
 public:
  // Written around the cache, a block waits for the disk: four huge pages
  // at a time keep it busier than one.
  static constexpr std::size_t kBlockSize = 4 * kHugePageSize;

  Output(int fd, std::uint64_t appInfoOffset, std::size_t holdBack)
      : out_(fd, kBlockSize, holdBack), appInfoOffset_(appInfoOffset) {
    // The importer flushes every database it writes; a new one, written
    // from its start, goes around the host's cache where it can.
    out_.startWriteBack();
    if (holdBack == 0) out_.writeAroundCache();
  }

  void put(std::string_view bytes) {
    if (!out_.write(bytes)) fail();
  }
  void put(const std::uint8_t* bytes, std::size_t size) { put(asChars(bytes, size)); }
  void finish() {
    if (!out_.flush()) fail();
  }
  const std::string& heldBack() const { return out_.heldBack(); }

 private:
  [[noreturn]] void fail() const {
    const std::uint64_t at = out_.written();
    const int error = out_.error();
    if (at < kFirstRecordListOffset) fatalSystemError(kErrorWritingHeader, error);
    if (at < kFirstRecordListOffset + kRecordListHeaderSize) fatalSystemError(kErrorWritingRecordList, error);
    if (at < appInfoOffset_) fatalSystemError(kErrorWritingEntries, error);
    if (at < appInfoOffset_ + kAppInfoSize) fatalSystemError(kErrorWritingAppInfo, error);
    fatalSystemError(kErrorWritingRecord, error);
  }

  BlockWriter out_;
  std::uint64_t appInfoOffset_;
};

std::uint64_t recordSize(const Record& record) { return kRecordPrefixSize + record.text.size() + 1; }

// The header as read, with the app info offset and the three dates.
HeaderBytes filledHeader(const HeaderBytes& header, std::uint64_t appInfoOffset, std::uint32_t now) {
  HeaderBytes filled = header;
  putBigEndian32(&filled[kAppInfoOffsetOffset], static_cast<std::uint32_t>(appInfoOffset));
  putBigEndian32(&filled[kCreationDateOffset], now);
  putBigEndian32(&filled[kModificationDateOffset], now);
  putBigEndian32(&filled[kLastBackupDateOffset], now);
  return filled;
}

// The record list header and one entry for each record, whose data start at
// `offset`.
void putRecordList(Output& out, std::span<const Record> records, std::uint64_t offset) {
  std::uint8_t listHeader[kRecordListHeaderSize] = {};
  putBigEndian16(listHeader + kRecordCountOffset, static_cast<std::uint16_t>(records.size()));
  out.put(listHeader, sizeof listHeader);
  for (const Record& record : records) {
    std::uint8_t entry[kRecordEntrySize] = {};
    putBigEndian32(entry + kDataOffsetOffset, static_cast<std::uint32_t>(offset));
    entry[kEntryAttributesOffset] =
        static_cast<std::uint8_t>((record.category & kCategoryMask) | (record.secret ? kSecretBit : 0));
    out.put(entry, sizeof entry);
    offset += recordSize(record);
  }
}

// The records' data.  Records that lie one after the other in `stored` just
// as they are written go out from there, each run in one piece.
void putRecords(Output& out, std::span<const Record> records, std::string_view stored) {
  // Records stored one after the other, not yet written: stored[runStart, runEnd).
  std::size_t runStart = 0;
  std::size_t runEnd = 0;
  for (const Record& record : records) {
    const std::size_t at = storedAt(stored, record);
    if (at != std::string_view::npos) {
      if (at != runEnd || runEnd == 0) {
        out.put(stored.substr(runStart, runEnd - runStart));
        runStart = at;
      }
      runEnd = at + static_cast<std::size_t>(recordSize(record));  // within `stored`
      continue;
    }
    out.put(stored.substr(runStart, runEnd - runStart));
    runStart = runEnd = 0;
    const char prefix[kRecordPrefixSize + 1] = {static_cast<char>(record.places), static_cast<char>(record.stripZeros), 0};
    out.put({prefix, kRecordPrefixSize});
    out.put(record.text);
    out.put({prefix + kRecordPrefixSize, 1});
  }
  out.put(stored.substr(runStart, runEnd - runStart));
}

}  // namespace

std::uint64_t databaseFileSize(std::span<const Record> records) {
  std::uint64_t size = kFirstRecordListOffset + kRecordListHeaderSize + records.size() * kRecordEntrySize + kAppInfoSize;
  for (const Record& record : records) size += recordSize(record);
  return size;
}

std::string writeDatabase(int fd, const HeaderBytes& header, const AppInfoBlock& appInfo,
                          std::span<const Record> records, std::uint32_t now, std::string_view stored,
                          std::size_t holdBack) {
  const std::size_t count = records.size();
  if (count > kMaxRecords) fatalError(kErrorWritingRecordList, kTooManyRecords);
  // Every offset is known before the first byte goes out.
  const std::uint64_t appInfoOffset = kFirstRecordListOffset + kRecordListHeaderSize + count * kRecordEntrySize;
  const std::uint64_t firstRecordOffset = appInfoOffset + kAppInfoSize;
  std::uint64_t lastRecordOffset = firstRecordOffset;
  for (std::size_t i = 0; i + 1 < count; ++i) lastRecordOffset += recordSize(records[i]);
  if (lastRecordOffset > UINT32_MAX) fatalError(kErrorWritingRecord, "the database would be larger than 4 GiB");

  Output out(fd, appInfoOffset, holdBack);
  const HeaderBytes filled = filledHeader(header, appInfoOffset, now);
  out.put(filled.data(), filled.size());
  putRecordList(out, records, firstRecordOffset);
  out.put(appInfo.data(), appInfo.size());
  putRecords(out, records, stored);
  out.finish();
  return out.heldBack();
}

}  // namespace tx
