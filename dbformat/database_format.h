// The database file layout, byte order and the shared record type.
//
// All multi-byte integers in the file are big-endian.  Headers are read into
// byte arrays and their fields taken at the offsets named here; no struct is
// ever laid over file bytes.
//
//   offset  size  content
//   0       72    DatabaseHeader
//   72      6     RecordListHeader (nextListOffset, recordCount)
//   78      8*n   RecordEntry (dataOffset, attributes, uniqueId)
//   ...           further record lists, reached through nextListOffset
//   appInfo 310   AppInfoBlock: 276-byte CategoryInfo, then the application part
//   data          record data: places, stripZeros, text bytes, 0 byte
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tx {

// DatabaseHeader, 72 bytes at offset 0.
inline constexpr std::size_t kHeaderSize = 72;
inline constexpr std::size_t kNameOffset = 0;
inline constexpr std::size_t kNameSize = 32;
inline constexpr std::size_t kAttributesOffset = 32;
inline constexpr std::size_t kVersionOffset = 34;
inline constexpr std::size_t kCreationDateOffset = 36;
inline constexpr std::size_t kModificationDateOffset = 40;
inline constexpr std::size_t kLastBackupDateOffset = 44;
inline constexpr std::size_t kModificationNumberOffset = 48;
inline constexpr std::size_t kAppInfoOffsetOffset = 52;
inline constexpr std::size_t kSortInfoOffsetOffset = 56;
inline constexpr std::size_t kTypeOffset = 60;
inline constexpr std::size_t kCreatorOffset = 64;
inline constexpr std::size_t kUniqueIdSeedOffset = 68;
static_assert(kUniqueIdSeedOffset + 4 == kHeaderSize);
static_assert(kNameOffset + kNameSize == kAttributesOffset);

inline constexpr char kDatabaseType[4] = {'D', 'a', 't', 'a'};
inline constexpr char kDatabaseCreator[4] = {'T', 'a', 'l', 'X'};
inline constexpr std::uint16_t kDatabaseVersion = 1;

// RecordListHeader, 6 bytes; the first one directly follows the header.
inline constexpr std::size_t kFirstRecordListOffset = kHeaderSize;
inline constexpr std::size_t kRecordListHeaderSize = 6;
inline constexpr std::size_t kNextListOffsetOffset = 0;
inline constexpr std::size_t kRecordCountOffset = 4;

// RecordEntry, 8 bytes each, directly after their list header.
inline constexpr std::size_t kRecordEntrySize = 8;
inline constexpr std::size_t kDataOffsetOffset = 0;
inline constexpr std::size_t kEntryAttributesOffset = 4;
inline constexpr std::size_t kUniqueIdOffset = 5;
inline constexpr std::uint8_t kCategoryMask = 0x0F;
inline constexpr std::uint8_t kSecretBit = 0x10;

// The largest number of records that one record list can count.
inline constexpr std::size_t kMaxRecords = 0xFFFF;
inline constexpr std::string_view kTooManyRecords = "more records than one database can hold (65535)";

// AppInfoBlock: the category part, then the application part.
inline constexpr std::size_t kCategoryCount = 16;
inline constexpr std::size_t kCategoryNameSize = 16;
inline constexpr std::size_t kCategoryNamesOffset = 2;
inline constexpr std::size_t kCategoryIdsOffset = kCategoryNamesOffset + kCategoryCount * kCategoryNameSize;
inline constexpr std::size_t kLastUniqueIdOffset = kCategoryIdsOffset + kCategoryCount;
inline constexpr std::size_t kCategoryInfoSize = kLastUniqueIdOffset + 2;
inline constexpr std::size_t kAppInfoSize = 310;
static_assert(kCategoryIdsOffset == 258);
static_assert(kLastUniqueIdOffset == 274);
static_assert(kCategoryInfoSize == 276);
static_assert(kAppInfoSize == kCategoryInfoSize + 34);

// Record data: places, stripZeros, then the text up to a 0 byte.
inline constexpr std::size_t kRecordPrefixSize = 2;

using AppInfoBlock = std::array<std::uint8_t, kAppInfoSize>;
using HeaderBytes = std::array<std::uint8_t, kHeaderSize>;

// Exchanges the two bytes of a 16-bit value.
constexpr std::uint16_t swap16(std::uint16_t value) {
  return static_cast<std::uint16_t>((value >> 8) | (value << 8));
}

// Exchanges the two 16-bit halves, then the bytes of each half: all four
// bytes end up reversed.
constexpr std::uint32_t swap32(std::uint32_t value) {
  const std::uint32_t halves = (value >> 16) | (value << 16);
  return ((halves & 0xFF00FF00u) >> 8) | ((halves & 0x00FF00FFu) << 8);
}

// Big-endian field accessors on byte arrays.
inline std::uint16_t getBigEndian16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>((std::uint32_t{bytes[0]} << 8) | std::uint32_t{bytes[1]});
}

inline std::uint32_t getBigEndian32(const std::uint8_t* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

inline void putBigEndian16(std::uint8_t* bytes, std::uint16_t value) {
  bytes[0] = static_cast<std::uint8_t>(value >> 8);
  bytes[1] = static_cast<std::uint8_t>(value);
}

inline void putBigEndian32(std::uint8_t* bytes, std::uint32_t value) {
  bytes[0] = static_cast<std::uint8_t>(value >> 24);
  bytes[1] = static_cast<std::uint8_t>(value >> 16);
  bytes[2] = static_cast<std::uint8_t>(value >> 8);
  bytes[3] = static_cast<std::uint8_t>(value);
}

// The name in category slot `index` of an app info block: its bytes up to the
// first 0 byte, at most 16; a view into the block.
std::string_view categoryName(const std::uint8_t* appInfo, std::size_t index);

// One record in memory: its settings and its text.  The text's bytes live in
// storage of the record's owner (a list's text arena, a file read whole).
struct Record {
  std::uint8_t category = 0;  // 0-15: attributes & 0x0F
  std::uint8_t places = 14;
  std::uint8_t secret = 0;
  std::uint8_t stripZeros = 1;
  // 8-bit bytes, lines separated by single line feeds; never holds a 0 byte.
  std::string_view text;
};

}  // namespace tx
