// Builds database bytes field by field for tests, and takes them apart again
// with a reader of its own (independent of the programs' reader).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace txtest {

struct TestRecord {
  std::uint8_t attributes = 0;  // the entry's whole attribute byte
  std::uint8_t places = 14;
  std::uint8_t stripZeros = 1;
  std::string text;
  bool terminated = true;  // false: no 0 byte after the text
};

struct TestAppInfo {
  std::uint16_t word0 = 0x0102;
  std::array<std::string, 16> names{};  // at most 16 bytes each
  std::array<std::uint8_t, 16> ids{};
  std::uint8_t lastUniqueId = 0;
  std::uint8_t byte275 = 0x5A;
  std::string appPart = std::string(34, '\x33');  // 34 bytes
};

// A database laid out as: header, the record lists one after another, the
// app info block, then the record data (in entry order, or reversed).
struct TestDatabase {
  std::string name = "TestDb";
  std::uint16_t attributes = 0x0008;
  std::uint16_t version = 1;
  std::uint32_t creationDate = 0xB1000001;
  std::uint32_t modificationDate = 0xB1000002;
  std::uint32_t lastBackupDate = 0xB1000003;
  std::uint32_t modificationNumber = 0x01020304;
  std::uint32_t sortInfoOffset = 0;
  std::string type = "Data";
  std::string creator = "TalX";
  std::uint32_t uniqueIdSeed = 0x0A0B0C0D;
  std::vector<std::vector<TestRecord>> lists = {{}};
  TestAppInfo appInfo;
  bool reverseData = false;
  std::uint32_t dataShuffleSeed = 0;  // not 0: the record data in an order drawn from this seed
  std::optional<std::uint32_t> appInfoAt;  // overrides the computed offset
};

std::string buildDatabase(const TestDatabase& database);

// Offsets of what buildDatabase laid out, for byte surgery.
std::uint32_t recordListOffset(const TestDatabase& database, std::size_t list);
std::uint32_t appInfoOffsetOf(const TestDatabase& database);

void put8(std::string& bytes, std::size_t offset, std::uint8_t value);
void put16(std::string& bytes, std::size_t offset, std::uint16_t value);
void put32(std::string& bytes, std::size_t offset, std::uint32_t value);
std::uint16_t get16(const std::string& bytes, std::size_t offset);
std::uint32_t get32(const std::string& bytes, std::size_t offset);

// A database as an independent, strict reader sees it.
struct ParsedRecord {
  std::uint32_t dataOffset = 0;
  std::uint8_t attributes = 0;
  std::uint32_t uniqueId = 0;
  std::uint8_t places = 0;
  std::uint8_t stripZeros = 0;
  std::string text;
};

struct ParsedDatabase {
  std::string header;   // 72 bytes
  std::uint32_t nextListOffset = 0;
  std::string appInfo;  // 310 bytes
  std::vector<ParsedRecord> records;
  std::size_t size = 0;
};

// Parses a database of one record list; throws std::runtime_error on any
// inconsistency.
ParsedDatabase parseDatabase(const std::string& bytes);

}  // namespace txtest
