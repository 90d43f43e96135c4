#include "importer/category_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tx {
namespace {

AppInfoBlock blockWith(std::initializer_list<std::pair<std::size_t, const char*>> names, std::uint8_t lastId) {
  AppInfoBlock block{};
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(0xA0 + i % 7);
  for (std::size_t slot = 0; slot < kCategoryCount; ++slot) {
    block[kCategoryNamesOffset + slot * kCategoryNameSize] = 0;  // free, with junk after the 0
    block[kCategoryIdsOffset + slot] = static_cast<std::uint8_t>(100 + slot);
  }
  for (const auto& [slot, name] : names) {
    std::memcpy(&block[kCategoryNamesOffset + slot * kCategoryNameSize], name, std::strlen(name) + 1);
  }
  block[kLastUniqueIdOffset] = lastId;
  return block;
}

std::uint8_t idOf(const AppInfoBlock& block, std::size_t slot) { return block[kCategoryIdsOffset + slot]; }

TEST(CategoryTable, ExistingNameInALaterSlotWinsOverAFreeSlot) {
  AppInfoBlock block = blockWith({{0, "Unfiled"}, {5, "Work"}}, 20);
  const AppInfoBlock before = block;
  CategoryTable table(block);
  EXPECT_EQ(table.resolve("Work").index, 5);
  EXPECT_FALSE(table.resolve("Work").unplaced);
  EXPECT_EQ(table.resolve("Unfiled").index, 0);
  EXPECT_EQ(block, before);
}

TEST(CategoryTable, NewNameTakesTheFirstFreeSlotAndAFreshId) {
  struct Case {
    const char* name;
    std::uint8_t lastId;
    std::vector<std::pair<std::size_t, std::uint8_t>> ids;  // slot ids set before
    std::uint8_t expectedId;
  };
  const Case cases[] = {
      {"next id free", 20, {}, 21},
      {"next ids taken", 20, {{0, 21}, {2, 22}, {9, 23}}, 24},
      {"the free slot's own old id counts", 20, {{4, 21}}, 22},
      {"255 wraps to 0", 255, {}, 0},
      {"wrap past taken ids", 254, {{1, 255}, {2, 0}, {3, 1}}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AppInfoBlock block = blockWith({{0, "A"}, {1, "B"}, {2, "C"}, {3, "D"}}, c.lastId);
    for (const auto& [slot, id] : c.ids) block[kCategoryIdsOffset + slot] = id;
    AppInfoBlock expected = block;
    CategoryTable table(block);
    EXPECT_EQ(table.resolve("Fresh").index, 4);
    std::memcpy(&expected[kCategoryNamesOffset + 4 * kCategoryNameSize], "Fresh", 6);  // rest of the slot kept
    expected[kCategoryIdsOffset + 4] = c.expectedId;
    expected[kLastUniqueIdOffset] = c.expectedId;
    EXPECT_EQ(block, expected);
    EXPECT_EQ(table.resolve("Fresh").index, 4);
    EXPECT_EQ(block, expected);
  }
}

TEST(CategoryTable, FullTableGivesZeroAndChangesNothing) {
  AppInfoBlock block = blockWith({}, 3);
  for (std::size_t slot = 0; slot < kCategoryCount; ++slot) {
    const std::string name = "Cat" + std::to_string(slot);
    std::memcpy(&block[kCategoryNamesOffset + slot * kCategoryNameSize], name.c_str(), name.size() + 1);
  }
  const AppInfoBlock before = block;
  CategoryTable table(block);
  EXPECT_EQ(table.resolve("Another").index, 0);
  EXPECT_TRUE(table.resolve("Another").unplaced);
  EXPECT_EQ(table.resolve("").index, 0);
  EXPECT_TRUE(table.resolve("").unplaced);
  EXPECT_EQ(table.resolve("Cat9").index, 9);
  EXPECT_FALSE(table.resolve("Cat0").unplaced);
  EXPECT_EQ(block, before);
}

TEST(CategoryTable, EmptyNameMatchesTheFirstFreeSlotWithoutNamingIt) {
  AppInfoBlock block = blockWith({{0, "A"}, {1, "B"}, {3, "D"}}, 7);
  const AppInfoBlock before = block;
  CategoryTable table(block);
  EXPECT_EQ(table.resolve("").index, 2);
  EXPECT_EQ(block, before);
}

TEST(CategoryTable, CaseMattersAndOtherBytesStay) {
  AppInfoBlock block = blockWith({{0, "work"}}, 0);
  const AppInfoBlock before = block;
  CategoryTable table(block);
  EXPECT_EQ(table.resolve("Work").index, 1);
  EXPECT_EQ(table.resolve("WORK").index, 2);
  EXPECT_EQ(table.resolve("work").index, 0);
  EXPECT_EQ(idOf(block, 1), 1);
  EXPECT_EQ(idOf(block, 2), 2);
  // The word at 0, the byte at 275 and the application part are untouched.
  EXPECT_EQ(block[0], before[0]);
  EXPECT_EQ(block[1], before[1]);
  EXPECT_EQ(block[275], before[275]);
  EXPECT_TRUE(std::equal(block.begin() + kCategoryInfoSize, block.end(), before.begin() + kCategoryInfoSize));
}

TEST(CategoryTable, SixteenByteSlotNamesNeverMatchAShorterName) {
  AppInfoBlock block = blockWith({}, 0);
  std::memcpy(&block[kCategoryNamesOffset], "ABCDEFGHIJKLMNOP", 16);  // no terminator inside the slot
  CategoryTable table(block);
  EXPECT_EQ(table.resolve("ABCDEFGHIJKLMNO").index, 1);
}

}  // namespace
}  // namespace tx
