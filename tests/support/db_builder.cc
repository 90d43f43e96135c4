#include "support/db_builder.h"

#include <algorithm>
#include <random>
#include <stdexcept>

namespace txtest {

void put8(std::string& bytes, std::size_t offset, std::uint8_t value) {
  if (bytes.size() < offset + 1) bytes.resize(offset + 1, '\0');
  bytes[offset] = static_cast<char>(value);
}

void put16(std::string& bytes, std::size_t offset, std::uint16_t value) {
  put8(bytes, offset, static_cast<std::uint8_t>(value >> 8));
  put8(bytes, offset + 1, static_cast<std::uint8_t>(value));
}

void put32(std::string& bytes, std::size_t offset, std::uint32_t value) {
  put16(bytes, offset, static_cast<std::uint16_t>(value >> 16));
  put16(bytes, offset + 2, static_cast<std::uint16_t>(value));
}

std::uint16_t get16(const std::string& bytes, std::size_t offset) {
  if (offset + 2 > bytes.size()) throw std::runtime_error("get16 past the end");
  return static_cast<std::uint16_t>((static_cast<std::uint8_t>(bytes[offset]) << 8) |
                                    static_cast<std::uint8_t>(bytes[offset + 1]));
}

std::uint32_t get32(const std::string& bytes, std::size_t offset) {
  return (std::uint32_t{get16(bytes, offset)} << 16) | get16(bytes, offset + 2);
}

namespace {

void putText(std::string& bytes, std::size_t offset, const std::string& text, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) put8(bytes, offset + i, i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0);
}

}  // namespace

std::uint32_t recordListOffset(const TestDatabase& database, std::size_t list) {
  std::uint32_t offset = 72;
  for (std::size_t i = 0; i < list; ++i) offset += 6 + 8 * static_cast<std::uint32_t>(database.lists[i].size());
  return offset;
}

std::uint32_t appInfoOffsetOf(const TestDatabase& database) {
  return database.appInfoAt ? *database.appInfoAt : recordListOffset(database, database.lists.size());
}

std::string buildDatabase(const TestDatabase& database) {
  std::string bytes;
  putText(bytes, 0, database.name, 32);
  put16(bytes, 32, database.attributes);
  put16(bytes, 34, database.version);
  put32(bytes, 36, database.creationDate);
  put32(bytes, 40, database.modificationDate);
  put32(bytes, 44, database.lastBackupDate);
  put32(bytes, 48, database.modificationNumber);
  put32(bytes, 52, appInfoOffsetOf(database));
  put32(bytes, 56, database.sortInfoOffset);
  putText(bytes, 60, database.type, 4);
  putText(bytes, 64, database.creator, 4);
  put32(bytes, 68, database.uniqueIdSeed);

  const std::uint32_t appInfoAt = recordListOffset(database, database.lists.size());
  const TestAppInfo& info = database.appInfo;
  std::string block;
  put16(block, 0, info.word0);
  for (std::size_t i = 0; i < 16; ++i) {
    putText(block, 2 + 16 * i, info.names[i], 16);
    put8(block, 258 + i, info.ids[i]);
  }
  put8(block, 274, info.lastUniqueId);
  put8(block, 275, info.byte275);
  putText(block, 276, info.appPart, 34);
  bytes.resize(appInfoAt, '\0');
  bytes += block;

  // Record data, in entry order or reversed; entries filled in as we go.
  std::vector<std::pair<std::size_t, std::size_t>> order;
  for (std::size_t l = 0; l < database.lists.size(); ++l)
    for (std::size_t r = 0; r < database.lists[l].size(); ++r) order.emplace_back(l, r);
  if (database.reverseData) std::reverse(order.begin(), order.end());
  if (database.dataShuffleSeed != 0) {
    std::mt19937 random(database.dataShuffleSeed);
    std::shuffle(order.begin(), order.end(), random);
  }
  for (const auto& [l, r] : order) {
    const TestRecord& record = database.lists[l][r];
    const std::uint32_t entry = recordListOffset(database, l) + 6 + 8 * static_cast<std::uint32_t>(r);
    put32(bytes, entry, static_cast<std::uint32_t>(bytes.size()));
    put8(bytes, entry + 4, record.attributes);
    put8(bytes, entry + 5, 0x11);
    put8(bytes, entry + 6, 0x22);
    put8(bytes, entry + 7, static_cast<std::uint8_t>(r));
    bytes.push_back(static_cast<char>(record.places));
    bytes.push_back(static_cast<char>(record.stripZeros));
    bytes += record.text;
    if (record.terminated) bytes.push_back('\0');
  }
  for (std::size_t l = 0; l < database.lists.size(); ++l) {
    const std::uint32_t at = recordListOffset(database, l);
    put32(bytes, at, l + 1 < database.lists.size() ? recordListOffset(database, l + 1) : 0);
    put16(bytes, at + 4, static_cast<std::uint16_t>(database.lists[l].size()));
  }
  return bytes;
}

ParsedDatabase parseDatabase(const std::string& bytes) {
  ParsedDatabase parsed;
  parsed.size = bytes.size();
  if (bytes.size() < 78) throw std::runtime_error("file shorter than header and list header");
  parsed.header = bytes.substr(0, 72);
  parsed.nextListOffset = get32(bytes, 72);
  const std::uint16_t count = get16(bytes, 76);
  const std::uint32_t appInfoAt = get32(bytes, 52);
  if (appInfoAt + 310 > bytes.size()) throw std::runtime_error("app info block past the end");
  parsed.appInfo = bytes.substr(appInfoAt, 310);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t entry = 78 + 8 * i;
    ParsedRecord record;
    record.dataOffset = get32(bytes, entry);
    record.attributes = static_cast<std::uint8_t>(bytes.at(entry + 4));
    record.uniqueId = get32(bytes, entry + 4) & 0xFFFFFF;
    if (record.dataOffset + 2 > bytes.size()) throw std::runtime_error("record data past the end");
    record.places = static_cast<std::uint8_t>(bytes[record.dataOffset]);
    record.stripZeros = static_cast<std::uint8_t>(bytes[record.dataOffset + 1]);
    const std::size_t end = bytes.find('\0', record.dataOffset + 2);
    if (end == std::string::npos) throw std::runtime_error("record text without its 0 byte");
    record.text = bytes.substr(record.dataOffset + 2, end - record.dataOffset - 2);
    parsed.records.push_back(record);
  }
  return parsed;
}

}  // namespace txtest
