#include "importer/database_writer.h"

#include <cstdint>
#include <string>
#include <memory>

#include "dbformat/fatal.h"

namespace tx {
namespace {

// Writes one part of the file at once, so that a failure names its part.
void writePart(int fd, std::string_view bytes, std::string_view message) {
  if (!writeAll(fd, bytes.data(), bytes.size())) fatalSystemError(message);
}

std::string_view asChars(const std::uint8_t* bytes, std::size_t size) {
  return {reinterpret_cast<const char*>(bytes), size};
}

// Where `record` lies in `stored` just as it is written (its places and
// strip-zeros bytes before its text, a 0 byte after it): the offset of its
// first byte there; otherwise npos.
std::size_t storedAt(std::string_view stored, const RecordNode& record) {
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

std::uint64_t DatabaseWriter::fileSize(std::span<const RecordNode> records) {
  std::uint64_t size = kFirstRecordListOffset + kRecordListHeaderSize + records.size() * kRecordEntrySize + kAppInfoSize;
  for (const RecordNode& record : records) size += kRecordPrefixSize + record.text.size() + 1;
  return size;
}

void DatabaseWriter::write(int fd, const HeaderBytes& header, const AppInfoBlock& appInfo,
                           std::span<const RecordNode> records, std::uint32_t now, std::string_view stored) {
  const std::size_t count = records.size();
  if (count > kMaxRecords) fatalError(kErrorWritingRecordList, kTooManyRecords);

  // Every offset is known before the first byte goes out.
  const std::uint64_t appInfoOffset = kFirstRecordListOffset + kRecordListHeaderSize + count * kRecordEntrySize;
  // Not zeroed: every byte of every entry is set below.
  const std::unique_ptr<std::uint8_t[]> entries(new std::uint8_t[count * kRecordEntrySize]);
  std::uint64_t offset = appInfoOffset + kAppInfoSize;
  for (std::size_t i = 0; i < count; ++i) {
    if (offset > UINT32_MAX) fatalError(kErrorWritingRecord, "the database would be larger than 4 GiB");
    const RecordNode& record = records[i];
    std::uint8_t* entry = entries.get() + i * kRecordEntrySize;
    putBigEndian32(entry + kDataOffsetOffset, static_cast<std::uint32_t>(offset));
    entry[kEntryAttributesOffset + 1] = entry[kEntryAttributesOffset + 2] = entry[kEntryAttributesOffset + 3] = 0;
    entry[kEntryAttributesOffset] =
        static_cast<std::uint8_t>((record.category & kCategoryMask) | (record.secret ? kSecretBit : 0));
    offset += kRecordPrefixSize + record.text.size() + 1;
  }

  HeaderBytes filled = header;
  putBigEndian32(&filled[kAppInfoOffsetOffset], static_cast<std::uint32_t>(appInfoOffset));
  putBigEndian32(&filled[kCreationDateOffset], now);
  putBigEndian32(&filled[kModificationDateOffset], now);
  putBigEndian32(&filled[kLastBackupDateOffset], now);
  writePart(fd, asChars(filled.data(), filled.size()), kErrorWritingHeader);

  std::uint8_t listHeader[kRecordListHeaderSize] = {};
  putBigEndian16(listHeader + kRecordCountOffset, static_cast<std::uint16_t>(count));
  writePart(fd, asChars(listHeader, sizeof listHeader), kErrorWritingRecordList);
  writePart(fd, asChars(entries.get(), count * kRecordEntrySize), kErrorWritingEntries);
  writePart(fd, asChars(appInfo.data(), appInfo.size()), kErrorWritingAppInfo);

  OutputFile out(fd, kErrorWritingRecord);
  // Records stored one after the other, not yet written: stored[runStart, runEnd).
  std::size_t runStart = 0;
  std::size_t runEnd = 0;
  for (const RecordNode& record : records) {
    const std::size_t at = storedAt(stored, record);
    if (at != std::string_view::npos) {
      if (at != runEnd || runEnd == 0) {
        out.write(stored.substr(runStart, runEnd - runStart));
        runStart = at;
      }
      runEnd = at + kRecordPrefixSize + record.text.size() + 1;
      continue;
    }
    out.write(stored.substr(runStart, runEnd - runStart));
    runStart = runEnd = 0;
    const char prefix[kRecordPrefixSize + 1] = {static_cast<char>(record.places), static_cast<char>(record.stripZeros), 0};
    out.write({prefix, kRecordPrefixSize});
    out.write(record.text);
    out.write({prefix + kRecordPrefixSize, 1});
  }
  out.write(stored.substr(runStart, runEnd - runStart));
  out.flush();
}

}  // namespace tx
