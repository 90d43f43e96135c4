#include "dbformat/database_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "support/db_builder.h"
#include "system/open_file.h"
#include "support/failure.h"
#include "support/process.h"

namespace tx {
namespace {

using txtest::failureOf;
using txtest::onStderr;

HeaderBytes sampleHeader() {
  HeaderBytes header{};
  for (std::size_t i = 0; i < header.size(); ++i) header[i] = static_cast<std::uint8_t>(0x40 + i);
  std::memcpy(&header[kTypeOffset], "DataTalX", 8);
  return header;
}

AppInfoBlock sampleAppInfo() {
  AppInfoBlock block{};
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
  return block;
}

// The records in order, as the record list hands them over.
std::vector<Record> chain(std::vector<Record> records) { return records; }

std::string writeToFile(const std::string& path, const std::vector<Record>& nodes, std::uint32_t now,
                        std::string_view stored = {}) {
  const FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
  writeDatabase(fd.get(), sampleHeader(), sampleAppInfo(), nodes, now, stored);
  return txtest::readFile(path);
}

std::string expectedHeader(std::uint32_t appInfoOffset, std::uint32_t now) {
  HeaderBytes header = sampleHeader();
  putBigEndian32(&header[kAppInfoOffsetOffset], appInfoOffset);
  for (std::size_t at : {kCreationDateOffset, kModificationDateOffset, kLastBackupDateOffset}) {
    putBigEndian32(&header[at], now);
  }
  return std::string(header.begin(), header.end());
}

TEST(DatabaseWriter, NoRecords) {
  txtest::TempDir dir;
  const std::string bytes = writeToFile(dir.file("db.pdb"), {}, 0x65000000);
  const AppInfoBlock block = sampleAppInfo();
  EXPECT_EQ(bytes, expectedHeader(78, 0x65000000) + std::string(6, '\0') + std::string(block.begin(), block.end()));
  EXPECT_EQ(bytes.size(), 388u);
}

TEST(DatabaseWriter, TwoRecordsByteForByte) {
  txtest::TempDir dir;
  Record first;
  first.category = 7;
  first.secret = 1;
  first.places = 3;
  first.stripZeros = 2;
  first.text = "ab";
  Record second;
  second.category = 0;
  second.secret = 0;
  second.places = 14;
  second.stripZeros = 1;
  const std::string bytes = writeToFile(dir.file("db.pdb"), chain({first, second}), 0x12345678);
  const AppInfoBlock block = sampleAppInfo();
  const std::string expected = expectedHeader(94, 0x12345678) + std::string("\0\0\0\0\0\x02", 6) +
                               std::string("\0\0\x01\x94\x17\0\0\0", 8) + std::string("\0\0\x01\x99\0\0\0\0", 8) +
                               std::string(block.begin(), block.end()) + std::string("\x03\x02" "ab\0", 5) +
                               std::string("\x0E\x01\0", 3);
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(bytes.size(), 412u);
}

TEST(DatabaseWriter, AttributesHoldOnlyCategoryAndSecret) {
  txtest::TempDir dir;
  std::vector<Record> records(4);
  records[0].category = 15;
  records[1].category = 15;
  records[1].secret = 1;
  records[2].secret = 1;
  records[3].category = 0;
  const txtest::ParsedDatabase parsed = txtest::parseDatabase(writeToFile(dir.file("db.pdb"), chain(records), 1));
  ASSERT_EQ(parsed.records.size(), 4u);
  const std::uint8_t expected[] = {0x0F, 0x1F, 0x10, 0x00};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(parsed.records[i].attributes, expected[i]);
    EXPECT_EQ(parsed.records[i].uniqueId, 0u);
  }
}

TEST(DatabaseWriter, RecordsInTheStoredBytesAreWrittenTheSame) {
  // Records as a database stores them, and views into them as the importer
  // makes them: only a record whose setting bytes and 0 byte stand around
  // its text there may go out from there, and the file is the same anyway.
  const std::string stored("\x03\x01" "ab\0" "\x04\x00" "cde\0" "\x05\x01" "fg\0" "\x06\x01" "hix", 21);
  const std::string_view bytes(stored);
  // And records larger than the writer's blocks, which go out uncopied in
  // whole blocks where they can.
  constexpr std::size_t kLong = std::size_t{5} << 20;
  constexpr std::size_t kLonger = std::size_t{3} << 20;
  const std::string large = std::string("\x07\x01", 2) + std::string(kLong, 'L') + std::string("\0\x08\x00", 3) +
                            std::string(kLonger, 'M') + std::string(1, '\0');
  auto in = [](std::string_view from, std::size_t offset, std::size_t length, std::uint8_t places,
               std::uint8_t stripZeros) {
    Record node;
    node.text = from.substr(offset, length);
    node.places = places;
    node.stripZeros = stripZeros;
    return node;
  };
  auto at = [&](std::size_t offset, std::size_t length, std::uint8_t places, std::uint8_t stripZeros) {
    return in(bytes, offset, length, places, stripZeros);
  };
  const Record first = in(large, 2, kLong, 7, 1);
  const Record second = in(large, kLong + 5, kLonger, 8, 0);
  const Record firstChanged = in(large, 2, kLong, 9, 1);
  Record elsewhere;
  elsewhere.text = "zz";
  const struct {
    const char* name;
    std::vector<Record> records;
  } rows[] = {
      {"three in a row", {at(2, 2, 3, 1), at(7, 3, 4, 0), at(13, 2, 5, 1)}},
      {"out of order", {at(13, 2, 5, 1), at(2, 2, 3, 1), at(7, 3, 4, 0)}},
      {"a gap", {at(2, 2, 3, 1), at(13, 2, 5, 1)}},
      {"places changed", {at(2, 2, 3, 1), at(7, 3, 9, 0), at(13, 2, 5, 1)}},
      {"strip-zeros changed", {at(7, 3, 4, 1)}},
      {"no 0 byte after the text", {at(18, 2, 6, 1)}},
      {"no room for the setting bytes", {at(0, 2, 3, 1), at(1, 1, 3, 1)}},
      {"the text runs to the end", {at(18, 3, 6, 1)}},
      {"a text from elsewhere between", {at(2, 2, 3, 1), elsewhere, at(7, 3, 4, 0)}},
      {"an empty text", {at(4, 0, 3, 1), at(2, 2, 3, 1)}},
      {"long records in a row", {first, second}},
      {"a long record copied, then one stored", {firstChanged, second}},
      {"a short one, then long ones", {elsewhere, first, at(2, 2, 3, 1), second}},
  };
  txtest::TempDir dir;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string expected = writeToFile(dir.file("copied.pdb"), row.records, 7);
    EXPECT_EQ(writeToFile(dir.file("stored.pdb"), row.records, 7, bytes), expected);
    EXPECT_EQ(writeToFile(dir.file("stored.pdb"), row.records, 7, large), expected);
    const txtest::ParsedDatabase parsed = txtest::parseDatabase(expected);
    ASSERT_EQ(parsed.records.size(), row.records.size());
    std::size_t size = 388 + 8 * row.records.size();
    for (std::size_t i = 0; i < row.records.size(); ++i) {
      const Record& record = row.records[i];
      EXPECT_EQ(parsed.records[i].places, record.places);
      EXPECT_EQ(parsed.records[i].stripZeros, record.stripZeros);
      EXPECT_EQ(parsed.records[i].text, record.text);
      size += 3 + record.text.size();
    }
    EXPECT_EQ(expected.size(), size);
  }
}

// A new file goes to the disk in whole units around the cache, its last
// part through the cache: every byte is there at every size around a unit
// and a block of the writer.
TEST(DatabaseWriter, EverySizeAroundTheWritersUnitsIsWrittenWhole) {
  txtest::TempDir dir;
  for (const std::size_t size : {std::size_t{400}, std::size_t{4095}, std::size_t{4096}, std::size_t{4097},
                                 std::size_t{8191}, std::size_t{8193}, (std::size_t{8} << 20) - 1, std::size_t{8} << 20,
                                 (std::size_t{8} << 20) + 1, (std::size_t{8} << 20) + 4097, (std::size_t{16} << 20) + 5}) {
    SCOPED_TRACE(size);
    // One record: 72 header bytes, 6 of the record list, 8 of its entry,
    // the app info block, then the record's two setting bytes, text and 0.
    Record record;
    std::string text(size - 399, 'x');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    record.text = text;
    record.places = 3;
    const AppInfoBlock block = sampleAppInfo();
    const std::string expected = expectedHeader(86, 9) + std::string("\0\0\0\0\0\x01", 6) +
                                 std::string("\0\0\x01\x8C\0\0\0\0", 8) + std::string(block.begin(), block.end()) +
                                 std::string("\x03\x01", 2) + text + std::string(1, '\0');
    const std::string written = writeToFile(dir.file("db.pdb"), {record}, 9);
    EXPECT_EQ(written.size(), size);
    EXPECT_TRUE(written == expected);
  }
}

// Lowers the file-size limit of this process for its lifetime.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(long bytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &saved_);
    struct rlimit lowered = saved_;
    lowered.rlim_cur = static_cast<rlim_t>(bytes);
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  struct rlimit saved_ {};
};

TEST(DatabaseWriterFailure, FailuresNameTheirStep) {
  // Two blocks of the writer and more.
  std::vector<Record> records(3);
  const std::string text(6000000, 'r');
  for (Record& record : records) record.text = text;
  const auto nodes = chain(records);
  struct Limit {
    long bytes;
    const char* message;
  };
  const Limit limits[] = {
      {0, "Error writing database header"},
      {71, "Error writing database header"},
      {72, "Error writing database record list"},
      {80, "Error writing database record entries"},
      {102, "Error writing database app info block"},
      {411, "Error writing database app info block"},
      {412, "Error writing database record"},
      {150000, "Error writing database record"},
      {(2 << 20) - 1, "Error writing database record"},
      {2 << 20, "Error writing database record"},
      {(4 << 20) + 1, "Error writing database record"},
      {(8 << 20) - 1, "Error writing database record"},
      {8 << 20, "Error writing database record"},
      {(16 << 20) + 1, "Error writing database record"},
  };
  txtest::TempDir dir;
  for (const Limit& limit : limits) {
    SCOPED_TRACE(limit.bytes);
    const FileSizeLimit lowered(limit.bytes);
    EXPECT_EQ(failureOf([&] { writeToFile(dir.file("db.pdb"), nodes, 5); }),
              onStderr(std::string(limit.message) + ": File too large\n"));
  }
  EXPECT_EQ(failureOf([&] {
              const FileDescriptor fd(::open("/dev/full", O_WRONLY));
              writeDatabase(fd.get(), sampleHeader(), sampleAppInfo(), nodes, 5);
            }),
            onStderr("Error writing database header: No space left on device\n"));
}

TEST(DatabaseWriterFailure, RefusesMoreRecordsThanTheFormatHolds) {
  std::vector<Record> records(kMaxRecords + 1);
  const auto nodes = chain(std::move(records));
  txtest::TempDir dir;
  EXPECT_EQ(failureOf([&] { writeToFile(dir.file("db.pdb"), nodes, 5); }),
            onStderr("Error writing database record list: more records than one database can hold (65535)\n"));
  EXPECT_EQ(txtest::readFile(dir.file("db.pdb")), "");
}

}  // namespace
}  // namespace tx
