#include "dbformat/database_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "dbformat/database_format.h"
#include "support/db_builder.h"
#include "support/failure.h"
#include "support/process.h"

namespace tx {
namespace {

using txtest::failureOf;
using txtest::onStderr;
using txtest::TestDatabase;
using txtest::TestRecord;

TEST(ByteOrder, SwapsAndAccessorsAgree) {
  EXPECT_EQ(swap16(0x1234), 0x3412);
  EXPECT_EQ(swap32(0x12345678u), 0x78563412u);
  EXPECT_EQ(swap32(swap32(0xA1B2C3D4u)), 0xA1B2C3D4u);
  const std::uint8_t bytes[4] = {0xFE, 0x01, 0x80, 0x7F};
  EXPECT_EQ(getBigEndian16(bytes), 0xFE01);
  EXPECT_EQ(getBigEndian32(bytes), 0xFE01807Fu);
  std::uint8_t out[4] = {};
  putBigEndian32(out, 0xFE01807Fu);
  EXPECT_EQ(0, std::memcmp(out, bytes, 4));
  putBigEndian16(out, 0xABCD);
  EXPECT_EQ(out[0], 0xAB);
  EXPECT_EQ(out[1], 0xCD);
}

struct Delivered {
  Record info;
  std::string text;
  bool operator==(const Delivered& other) const {
    return info.category == other.info.category && info.secret == other.info.secret &&
           info.places == other.info.places && info.stripZeros == other.info.stripZeros && text == other.text;
  }
};

std::ostream& operator<<(std::ostream& out, const Delivered& d) {
  return out << "{cat " << int(d.info.category) << " secret " << int(d.info.secret) << " places "
             << int(d.info.places) << " strip " << int(d.info.stripZeros) << " text \"" << d.text << "\"}";
}

class Collector : public RecordVisitor {
 public:
  void beginRecord(const Record& info) override { records.push_back({info, {}}); }
  void textBytes(std::string_view bytes) override { records.back().text.append(bytes); }
  void endRecord() override {}
  std::vector<Delivered> records;
};

// Reads `bytes` as a file the way the programs do, through a small block
// buffer so that refills happen inside headers and texts.
std::vector<Delivered> readAll(const std::string& bytes, std::size_t appInfoSize, std::string* appInfo = nullptr,
                               std::size_t blockSize = 7) {
  txtest::TempDir dir;
  txtest::writeFile(dir.file("db.pdb"), bytes);
  const int fd = ::open(dir.file("db.pdb").c_str(), O_RDONLY);
  BufferedReader file(fd, blockSize);
  DatabaseReader reader(file);
  reader.readHeader("TxTest");
  std::vector<std::uint8_t> block(appInfoSize);
  reader.readAppInfo(block.data(), appInfoSize);
  if (appInfo) appInfo->assign(block.begin(), block.end());
  Collector collector;
  reader.forEachRecord(collector);
  ::close(fd);
  return collector.records;
}

Delivered rec(std::uint8_t category, std::uint8_t secret, std::uint8_t places, std::uint8_t stripZeros,
              std::string text) {
  return {Record{.category = category, .places = places, .secret = secret, .stripZeros = stripZeros, .text = {}},
          std::move(text)};
}

struct ReadCase {
  const char* name;
  TestDatabase database;
  std::vector<Delivered> expected;
};

std::vector<ReadCase> readCases() {
  std::vector<ReadCase> cases;
  {
    TestDatabase db;
    cases.push_back({"no records", db, {}});
  }
  {
    TestDatabase db;
    db.lists = {{{0x00, 2, 0, "first"}, {0x05, 3, 1, "second"}}, {{0x1F, 4, 2, "third"}}};
    cases.push_back({"two lists in chain order", db,
                     {rec(0, 0, 2, 0, "first"), rec(5, 0, 3, 1, "second"), rec(15, 1, 4, 2, "third")}});
  }
  {
    TestDatabase db;
    db.lists = {{}, {{0x01, 9, 9, "after an empty list"}}};
    cases.push_back({"an empty list is followed", db, {rec(1, 0, 9, 9, "after an empty list")}});
  }
  {
    TestDatabase db;
    db.lists = {{{0, 1, 1, "a"}, {0, 2, 1, "bb"}, {0, 3, 1, "ccc"}}};
    db.reverseData = true;
    cases.push_back({"data in reverse order, delivered in entry order", db,
                     {rec(0, 0, 1, 1, "a"), rec(0, 0, 2, 1, "bb"), rec(0, 0, 3, 1, "ccc")}});
  }
  {
    TestDatabase db;
    db.lists = {{{0, 1, 1, "ends"}, {0, 2, 1, "runs to the end of the file", false}}};
    cases.push_back({"text without a 0 byte", db, {rec(0, 0, 1, 1, "ends"), rec(0, 0, 2, 1, "runs to the end of the file")}});
  }
  {
    TestDatabase db;
    db.lists = {{{0xF3, 0xFF, 0xFE, "\xFF\x80\x01\n\x7F"}, {0x20, 0, 0, ""}}};
    cases.push_back({"high bytes, ignored attribute bits, empty text", db,
                     {rec(3, 1, 255, 254, "\xFF\x80\x01\n\x7F"), rec(0, 0, 0, 0, "")}});
  }
  {
    TestDatabase db;
    db.lists = {{{0, 1, 1, std::string(100000, 'x') + "\nend"}}};
    cases.push_back({"a text far longer than the buffer", db, {rec(0, 0, 1, 1, std::string(100000, 'x') + "\nend")}});
  }
  return cases;
}

TEST(DatabaseReader, DeliversEveryRecordInListOrder) {
  for (const ReadCase& c : readCases()) {
    SCOPED_TRACE(c.name);
    const std::string bytes = txtest::buildDatabase(c.database);
    EXPECT_EQ(readAll(bytes, kAppInfoSize), c.expected);
    EXPECT_EQ(readAll(bytes, kCategoryInfoSize, nullptr, 64 * 1024), c.expected);
  }
}

TEST(DatabaseReader, ReadsTheAppInfoBlockWhereTheHeaderPoints) {
  TestDatabase db;
  db.appInfo.names[0] = "Unfiled";
  db.appInfo.names[15] = "Last";
  db.lists = {{{0, 1, 1, "x"}}};
  std::string bytes = txtest::buildDatabase(db);
  std::string block;
  readAll(bytes, kAppInfoSize, &block);
  EXPECT_EQ(block, bytes.substr(txtest::appInfoOffsetOf(db), kAppInfoSize));

  // An app info offset of 0 is not refused: the block is read from the start.
  txtest::put32(bytes, kAppInfoOffsetOffset, 0);
  std::string fromStart;
  EXPECT_EQ(readAll(bytes, kCategoryInfoSize, &fromStart).size(), 1u);
  EXPECT_EQ(fromStart, bytes.substr(0, kCategoryInfoSize));
}

TEST(DatabaseReader, CategoryNameStopsAtZeroOrSixteenBytes) {
  AppInfoBlock block{};
  std::memcpy(&block[kCategoryNamesOffset + 16], "Work\0junk", 9);
  std::memcpy(&block[kCategoryNamesOffset + 32], "ABCDEFGHIJKLMNOPQRSTUV", 22);  // runs into slot 3
  EXPECT_EQ(categoryName(block.data(), 0), "");
  EXPECT_EQ(categoryName(block.data(), 1), "Work");
  EXPECT_EQ(categoryName(block.data(), 2), "ABCDEFGHIJKLMNOP");
  EXPECT_EQ(categoryName(block.data(), 3), "QRSTUV");
}

TEST(DatabaseReaderFailure, ReportsEachShortReadAsUnexpectedEnd) {
  TestDatabase db;
  db.lists = {{{0, 1, 1, "abc"}}};
  const std::string bytes = txtest::buildDatabase(db);
  const std::uint32_t appInfo = txtest::appInfoOffsetOf(db);
  struct Cut {
    std::size_t length;
    const char* message;
  };
  const Cut cuts[] = {
      {0, "Error reading database header"},
      {71, "Error reading database header"},
      {72, "Error reading database app info block"},
      {appInfo + 309, "Error reading database app info block"},
      {appInfo + 310, "Error reading database record"},
      {appInfo + 311, "Error reading database record"},
  };
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(cut.length);
    EXPECT_EQ(failureOf([&] { readAll(bytes.substr(0, cut.length), kAppInfoSize); }),
              onStderr(std::string(cut.message) + ": unexpected end of file\n"));
  }
}

TEST(DatabaseReaderFailure, OffsetsPastTheEnd) {
  TestDatabase db;
  db.lists = {{{0, 1, 1, "abc"}}, {{0, 1, 1, "def"}}};
  const std::string good = txtest::buildDatabase(db);
  struct Patch {
    std::size_t offset;
    const char* message;
  };
  const Patch patches[] = {
      {kAppInfoOffsetOffset, "Error reading database app info block"},
      {txtest::recordListOffset(db, 0), "Error reading database record list"},
      {txtest::recordListOffset(db, 1) + 6, "Error reading database record"},
  };
  for (const Patch& patch : patches) {
    SCOPED_TRACE(patch.message);
    std::string bytes = good;
    txtest::put32(bytes, patch.offset, 0x7FFFFFF0u);
    EXPECT_EQ(failureOf([&] { readAll(bytes, kAppInfoSize); }),
              onStderr(std::string(patch.message) + ": unexpected end of file\n"));
  }
  // Entries that the file is too short to hold.
  std::string bytes = good;
  txtest::put16(bytes, txtest::recordListOffset(db, 1) + 4, 0xFFFF);
  EXPECT_EQ(failureOf([&] { readAll(bytes, kAppInfoSize); }),
            onStderr("Error reading database record entries: unexpected end of file\n"));
}

// Lists may touch but not overlap: every chain ends, and no entry is read twice.
TEST(DatabaseReaderFailure, OverlappingRecordListsEnd) {
  TestDatabase db;
  db.lists = {{{0, 1, 1, "a"}}, {{0, 1, 1, "b"}}, {{0, 1, 1, "c"}}};
  const std::string good = txtest::buildDatabase(db);
  const std::uint32_t list0 = txtest::recordListOffset(db, 0), list2 = txtest::recordListOffset(db, 2);
  struct Patch {
    const char* name;
    std::size_t offset;
    std::uint32_t value;
    bool count;  // value is a record count, else a next-list offset
  };
  const Patch patches[] = {
      {"back to the first list", list2, list0, false},
      {"back to itself", list2, list2, false},
      {"into the entries of the first list", list2, list0 + 6, false},
      {"a next list that starts inside the last one", list2, list2 + 4, false},
      {"a count that runs over the next list", list0 + 4, 2, true},
  };
  for (const Patch& patch : patches) {
    SCOPED_TRACE(patch.name);
    std::string bytes = good;
    if (patch.count) {
      txtest::put16(bytes, patch.offset, static_cast<std::uint16_t>(patch.value));
    } else {
      txtest::put32(bytes, patch.offset, patch.value);
    }
    EXPECT_EQ(failureOf([&] { readAll(bytes, kAppInfoSize); }),
              onStderr("Error reading database record list: a record list overlaps a record list read before it\n"));
  }
  EXPECT_EQ(readAll(good, kAppInfoSize).size(), 3u);
  // Lists that only touch are read whole, whichever way the chain runs: on
  // into the list right after, or back to the list right before.
  const std::uint32_t list1 = txtest::recordListOffset(db, 1);
  struct Chain {
    const char* name;
    std::uint32_t afterFirst, afterSecond;
    std::string order;
  };
  const Chain chains[] = {
      {"on, each list right after the last", list1, list2, "abc"},
      {"on past one list, then back to the list right before", list2, list1, "acb"},
  };
  for (const Chain& chain : chains) {
    SCOPED_TRACE(chain.name);
    std::string bytes = good;
    txtest::put32(bytes, list0, chain.afterFirst);
    txtest::put32(bytes, chain.afterFirst, chain.afterSecond);
    txtest::put32(bytes, chain.afterSecond, 0);
    std::string order;
    for (const Delivered& record : readAll(bytes, kAppInfoSize)) order += record.text;
    EXPECT_EQ(order, chain.order);
  }
}

// Serves bytes from memory and fails every read from `failAt` on.
class FailingFile : public BufferedReader {
 public:
  FailingFile(std::string bytes, std::uint64_t failAt) : BufferedReader(-1, 16), bytes_(std::move(bytes)), failAt_(failAt) {}

 protected:
  long readNext(char* destination, std::size_t size, std::uint64_t offset) override {
    if (offset >= failAt_) {
      errno = EIO;
      return -1;
    }
    const std::size_t available = offset < bytes_.size() ? bytes_.size() - offset : 0;
    const std::size_t take = std::min({size, available, static_cast<std::size_t>(failAt_ - offset)});
    std::memcpy(destination, bytes_.data() + offset, take);
    return static_cast<long>(take);
  }

 private:
  std::string bytes_;
  std::uint64_t failAt_;
};

TEST(DatabaseReaderFailure, ReadErrorInsideATextIsReported) {
  TestDatabase db;
  db.lists = {{{0, 1, 1, "a text long enough to need several reads"}}};
  const std::string bytes = txtest::buildDatabase(db);
  const std::uint64_t textStart = txtest::appInfoOffsetOf(db) + kAppInfoSize + kRecordPrefixSize;
  EXPECT_EQ(failureOf([&] {
              FailingFile file(bytes, textStart + 20);
              DatabaseReader reader(file);
              reader.readHeader("TxTest");
              AppInfoBlock block{};
              reader.readAppInfo(block.data(), kAppInfoSize);
              Collector collector;
              reader.forEachRecord(collector);
            }),
            onStderr("Error reading database record: Input/output error\n"));
}

TEST(DatabaseReaderFailure, ReadErrorIsTheSystemsText) {
  txtest::TempDir dir;
  const int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  BufferedReader file(fd);
  DatabaseReader reader(file);
  EXPECT_EQ(failureOf([&] { reader.readHeader("TxTest"); }), onStderr("Error reading database header: Is a directory\n"));
  ::close(fd);
}

}  // namespace
}  // namespace tx
