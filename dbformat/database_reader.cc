#include "dbformat/database_reader.h"

#include "system/platform.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <iterator>
#include <map>
#include <vector>

#include "system/fatal.h"
#include "system/large_memory.h"

namespace tx {

std::string_view categoryName(const std::uint8_t* appInfo, std::size_t index) {
  const char* slot = reinterpret_cast<const char*>(appInfo + kCategoryNamesOffset + index * kCategoryNameSize);
  const void* end = std::memchr(slot, 0, kCategoryNameSize);
  const std::size_t length = end ? static_cast<std::size_t>(static_cast<const char*>(end) - slot) : kCategoryNameSize;
  return std::string_view(slot, length);
}

bool isTallixDatabase(std::string_view start) {
  return start.size() >= kCreatorOffset + 4 && start.substr(kTypeOffset, 4) == std::string_view(kDatabaseType, 4) &&
         start.substr(kCreatorOffset, 4) == std::string_view(kDatabaseCreator, 4);
}

bool startsAsTallixDatabase(int fd) {
  char start[kHeaderSize];
  const long got = platform::readAt(fd, start, sizeof start, 0);
  return isTallixDatabase(std::string_view(start, got > 0 ? static_cast<std::size_t>(got) : 0));
}

void DatabaseReader::readHeader(std::string_view programName) {
  file_.seek(0);
  if (!file_.readExact(header_.data(), kHeaderSize)) fatalReadError(kErrorReadingHeader, file_.error());
  if (!isTallixDatabase(std::string_view(reinterpret_cast<const char*>(header_.data()), header_.size()))) {
    fatalMessage(kNotTallixMessage);
  }
  if (getBigEndian16(&header_[kVersionOffset]) != kDatabaseVersion) {
    std::string text = "Don't know how to read this version of Tallix database.\nPlease get the latest version of ";
    text.append(programName).append(" and try again.\n");
    fatalMessage(text);
  }
}

void DatabaseReader::readAppInfo(std::uint8_t* block, std::size_t size) {
  file_.seek(appInfoOffset());
  if (!file_.readExact(block, size)) fatalReadError(kErrorReadingAppInfo, file_.error());
}

namespace {

// The bytes of the record lists read so far: start -> end, none
// overlapping.  A list that would overlap one read before it (a chain that
// leads back, or a list made to cover another) ends the reading.
class ListSpans {
 public:
  void add(std::uint64_t start, std::uint64_t end) {
    // The first list starting at or after `start` must start at or after
    // `end`; the last one before it must end at or before `start`.
    const auto after = spans_.lower_bound(start);
    if ((after != spans_.end() && after->first < end) || (after != spans_.begin() && std::prev(after)->second > start)) {
      fatalError(kErrorReadingRecordList, kRecordListsOverlap);
    }
    spans_.emplace(start, end);
  }

 private:
  std::map<std::uint64_t, std::uint64_t> spans_;
};

}  // namespace

void DatabaseReader::forEachRecord(RecordVisitor& visitor) {
  ListSpans lists;
  // Not zeroed: every byte is read into first.  A long list's entries go
  // into a huge page.
  LargeMemory entries;
  std::size_t room = 0;
  std::uint32_t listOffset = kFirstRecordListOffset;
  do {
    std::uint8_t listHeader[kRecordListHeaderSize];
    file_.seek(listOffset);
    if (!file_.readExact(listHeader, sizeof listHeader)) fatalReadError(kErrorReadingRecordList, file_.error());
    const std::uint16_t count = getBigEndian16(listHeader + kRecordCountOffset);
    const std::size_t size = std::size_t{count} * kRecordEntrySize;
    lists.add(listOffset, std::uint64_t{listOffset} + kRecordListHeaderSize + size);
    if (size > room) {
      room = size < (std::size_t{64} << 10) ? size : std::max(size, kHugePageSize);
      entries = LargeMemory(room);
    }
    auto* entryBytes = reinterpret_cast<std::uint8_t*>(entries.bytes());
    if (count > 0 && !file_.readExact(entryBytes, size)) fatalReadError(kErrorReadingEntries, file_.error());
    for (std::size_t i = 0; i < count; ++i) readRecord(entryBytes + i * kRecordEntrySize, visitor);
    listOffset = getBigEndian32(listHeader + kNextListOffsetOffset);
  } while (listOffset != 0);
}

void DatabaseReader::readRecord(const std::uint8_t* entry, RecordVisitor& visitor) {
  const std::uint8_t attributes = entry[kEntryAttributesOffset];
  std::uint8_t prefix[kRecordPrefixSize];
  file_.seek(getBigEndian32(entry + kDataOffsetOffset));
  if (!file_.readExact(prefix, sizeof prefix)) fatalReadError(kErrorReadingRecord, file_.error());
  Record settings;
  settings.category = attributes & kCategoryMask;
  settings.secret = (attributes & kSecretBit) >> 4;
  settings.places = prefix[0];
  settings.stripZeros = prefix[1];
  visitor.beginRecord(settings);
  readText(visitor);
  visitor.endRecord();
}

void DatabaseReader::readText(RecordVisitor& visitor) {
  for (;;) {
    const std::string_view available = file_.peek();
    if (available.empty()) {
      // The end of the file ends a text quietly; a read error does not.
      if (file_.error() != 0) fatalReadError(kErrorReadingRecord, file_.error());
      return;
    }
    const void* zero = std::memchr(available.data(), 0, available.size());
    if (zero) {
      const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(zero) - available.data());
      if (length > 0) visitor.textBytes(available.substr(0, length));
      file_.advance(length + 1);
      return;
    }
    visitor.textBytes(available);
    file_.advance(available.size());
  }
}

}  // namespace tx
