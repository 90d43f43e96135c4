// Random databases, exported and imported back unchanged, come back the same:
// the same records in the same order and the same category block.
//
// A failing seed is printed; TX_ROUNDTRIP_SEED=<seed> replays that one alone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/db_builder.h"
#include "support/process.h"

namespace {

using txtest::TestDatabase;
using txtest::TestRecord;

// Bytes that a name or a text line may hold: not 0, CR or LF, which end a
// line of the text form; high bytes included.
char randomByte(std::mt19937& random, bool forName) {
  for (;;) {
    const int byte = std::uniform_int_distribution<int>(1, 255)(random);
    if (byte == '\r' || byte == '\n' || (forName && byte == '"')) continue;
    if (byte < 0x20 && byte != '\t') continue;
    return static_cast<char>(byte);
  }
}

std::string randomString(std::mt19937& random, int minLength, int maxLength, bool forName = false) {
  std::string text(static_cast<std::size_t>(std::uniform_int_distribution<int>(minLength, maxLength)(random)), ' ');
  for (char& c : text) c = randomByte(random, forName);
  return text;
}

TestDatabase randomDatabase(std::uint32_t seed, std::vector<std::vector<int>>& slotsUsed) {
  std::mt19937 random(seed);
  auto pick = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
  TestDatabase db;
  db.dataShuffleSeed = seed;
  db.appInfo.lastUniqueId = static_cast<std::uint8_t>(pick(0, 255));
  for (auto& id : db.appInfo.ids) id = static_cast<std::uint8_t>(pick(0, 255));
  // Named slots, with distinct names: an empty name would resolve to the first
  // free slot, and a repeated one to its first slot.
  std::vector<int> named;
  std::set<std::string> names;
  for (int slot = 0; slot < 16; ++slot) {
    if (slot != 0 && pick(0, 2) == 0) continue;
    std::string name;
    do name = randomString(random, 1, 15, true);
    while (!names.insert(name).second);
    db.appInfo.names[static_cast<std::size_t>(slot)] = name;
    named.push_back(slot);
  }
  db.lists.assign(static_cast<std::size_t>(pick(1, 3)), {});
  int index = 0;
  slotsUsed.clear();
  for (auto& list : db.lists) {
    slotsUsed.emplace_back();
    for (int r = pick(0, 8); r > 0; --r) {
      TestRecord record;
      const int slot = named[static_cast<std::size_t>(pick(0, static_cast<int>(named.size()) - 1))];
      const bool secret = pick(0, 1) == 1;
      record.attributes = static_cast<std::uint8_t>(slot | (secret ? 0x10 : 0) | (pick(0, 7) << 5));
      record.places = static_cast<std::uint8_t>(pick(0, 255));
      record.stripZeros = static_cast<std::uint8_t>(pick(0, 1));
      // A unique first line, then lines that may be empty or hold high bytes.
      record.text = "T" + std::to_string(index++) + ":" + randomString(random, 0, 30);
      for (int lines = pick(0, 5); lines > 0; --lines) {
        std::string line = pick(0, 3) == 0 ? "" : randomString(random, 1, 60);
        if (line.rfind("~~~", 0) == 0) line[0] = '-';  // never a separator
        record.text += "\n" + line;
      }
      slotsUsed.back().push_back(slot | (secret ? 0x10 : 0));
      list.push_back(record);
    }
  }
  return db;
}

TEST(RoundTripProperty, ExportThenImportUnchangedGivesTheSameDatabase) {
  std::uint32_t first = 1, last = 150;
  if (const char* replay = std::getenv("TX_ROUNDTRIP_SEED")) first = last = static_cast<std::uint32_t>(std::atol(replay));
  txtest::TempDir dir;
  for (std::uint32_t seed = first; seed <= last; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with TX_ROUNDTRIP_SEED=" + std::to_string(seed) + ")");
    std::vector<std::vector<int>> attributes;
    const TestDatabase db = randomDatabase(seed, attributes);
    const std::string bytes = txtest::buildDatabase(db);
    txtest::writeFile(dir.file("db.pdb"), bytes);
    const auto exported = txtest::runProgram(TXEXPORT_PATH, {dir.file("db.pdb"), dir.file("db.txt")});
    ASSERT_EQ(exported.status, 0) << exported.err;
    const auto imported =
        txtest::runProgram(TXIMPORT_PATH, {dir.file("db.pdb"), dir.file("db.txt"), dir.file("new.pdb")});
    ASSERT_EQ(imported.status, 0) << imported.out << imported.err;
    ASSERT_EQ(imported.out + imported.err, "");
    const auto parsed = txtest::parseDatabase(txtest::readFile(dir.file("new.pdb")));
    EXPECT_EQ(parsed.appInfo, bytes.substr(txtest::appInfoOffsetOf(db), 310));
    std::size_t i = 0;
    for (std::size_t l = 0; l < db.lists.size(); ++l) {
      for (std::size_t r = 0; r < db.lists[l].size(); ++r, ++i) {
        ASSERT_LT(i, parsed.records.size());
        const TestRecord& want = db.lists[l][r];
        EXPECT_EQ(parsed.records[i].attributes, attributes[l][r]) << "record " << i;
        EXPECT_EQ(parsed.records[i].places, want.places) << "record " << i;
        EXPECT_EQ(parsed.records[i].stripZeros, want.stripZeros) << "record " << i;
        EXPECT_EQ(parsed.records[i].text, want.text) << "record " << i;
      }
    }
    EXPECT_EQ(parsed.records.size(), i);
  }
}

}  // namespace
