#include "importer/database_writer.h"

#include <cerrno>
#include <cstdint>
#include <string>

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

}  // namespace

std::uint64_t DatabaseWriter::fileSize(std::span<const Record> records) {
  std::uint64_t size = kFirstRecordListOffset + kRecordListHeaderSize + records.size() * kRecordEntrySize + kAppInfoSize;
  for (const Record& record : records) size += kRecordPrefixSize + record.text.size() + 1;
  return size;
}

void DatabaseWriter::write(int fd, const HeaderBytes& header, const AppInfoBlock& appInfo,
                           std::span<const Record> records, std::uint32_t now, std::string_view stored) {
  const std::size_t count = records.size();
  if (count > kMaxRecords) fatalError(kErrorWritingRecordList, kTooManyRecords);

  // Every offset is known before the first byte goes out.
  const std::uint64_t appInfoOffset = kFirstRecordListOffset + kRecordListHeaderSize + count * kRecordEntrySize;
  const std::uint64_t firstRecordOffset = appInfoOffset + kAppInfoSize;
  std::uint64_t lastRecordOffset = firstRecordOffset;
  for (std::size_t i = 0; i + 1 < count; ++i) lastRecordOffset += kRecordPrefixSize + records[i].text.size() + 1;
  if (lastRecordOffset > UINT32_MAX) fatalError(kErrorWritingRecord, "the database would be larger than 4 GiB");

  HeaderBytes filled = header;
  putBigEndian32(&filled[kAppInfoOffsetOffset], static_cast<std::uint32_t>(appInfoOffset));
  putBigEndian32(&filled[kCreationDateOffset], now);
  putBigEndian32(&filled[kModificationDateOffset], now);
  putBigEndian32(&filled[kLastBackupDateOffset], now);
  std::uint8_t listHeader[kRecordListHeaderSize] = {};
  putBigEndian16(listHeader + kRecordCountOffset, static_cast<std::uint16_t>(count));

  BlockWriter out(fd);
  // A failure names the part of the file where the first byte that did not
  // reach it belongs.
  const auto fail = [&out, appInfoOffset]() {
    const std::uint64_t at = out.failedAt();
    errno = out.error();
    if (at < kFirstRecordListOffset) fatalSystemError(kErrorWritingHeader);
    if (at < kFirstRecordListOffset + kRecordListHeaderSize) fatalSystemError(kErrorWritingRecordList);
    if (at < appInfoOffset) fatalSystemError(kErrorWritingEntries);
    if (at < appInfoOffset + kAppInfoSize) fatalSystemError(kErrorWritingAppInfo);
    fatalSystemError(kErrorWritingRecord);
  };
  const auto put = [&out, &fail](std::string_view bytes) {
    if (!out.write(bytes)) fail();
  };
  put(asChars(filled.data(), filled.size()));
  put(asChars(listHeader, sizeof listHeader));
  std::uint64_t offset = firstRecordOffset;
  for (const Record& record : records) {
    std::uint8_t entry[kRecordEntrySize] = {};
    putBigEndian32(entry + kDataOffsetOffset, static_cast<std::uint32_t>(offset));
    entry[kEntryAttributesOffset] =
        static_cast<std::uint8_t>((record.category & kCategoryMask) | (record.secret ? kSecretBit : 0));
    put(asChars(entry, sizeof entry));
    offset += kRecordPrefixSize + record.text.size() + 1;
  }
  put(asChars(appInfo.data(), appInfo.size()));

  // Records stored one after the other, not yet written: stored[runStart, runEnd).
  std::size_t runStart = 0;
  std::size_t runEnd = 0;
  for (const Record& record : records) {
    const std::size_t at = storedAt(stored, record);
    if (at != std::string_view::npos) {
      if (at != runEnd || runEnd == 0) {
        put(stored.substr(runStart, runEnd - runStart));
        runStart = at;
      }
      runEnd = at + kRecordPrefixSize + record.text.size() + 1;
      continue;
    }
    put(stored.substr(runStart, runEnd - runStart));
    runStart = runEnd = 0;
    const char prefix[kRecordPrefixSize + 1] = {static_cast<char>(record.places), static_cast<char>(record.stripZeros), 0};
    put({prefix, kRecordPrefixSize});
    put(record.text);
    put({prefix + kRecordPrefixSize, 1});
  }
  put(stored.substr(runStart, runEnd - runStart));
  if (!out.flush()) fail();
}

}  // namespace tx
