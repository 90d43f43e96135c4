#include "importer/record_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tx {
namespace {

constexpr std::string_view kFull = "Error adding a record";

// A node whose text is stored in `list`.
Record node(RecordList& list, std::string_view text, std::uint8_t places = 14) {
  Record n;
  n.text = list.texts().store(text);
  n.places = places;
  return n;
}

std::vector<std::string> texts(const RecordList& list) {
  std::vector<std::string> out;
  for (const Record& n : list.records()) {
    out.push_back(std::string(n.text) + "/" + std::to_string(n.places));
  }
  return out;
}

TEST(RecordList, FindByFirstLineFollowsTheRule) {
  RecordList list;
  list.append(node(list, "Title\nbody"), kFull);
  list.append(node(list, "Title"), kFull);
  list.append(node(list, "Title\nother body", 2), kFull);
  list.append(node(list, ""), kFull);
  struct Case {
    std::string text;
    std::string found;  // "" for none
  };
  const Case cases[] = {
      {"Title\nanything", "Title\nbody"},  // the first in list order
      {"Title\n", "Title\nbody"},
      {"Title", "Title"},
      {"Titl", ""},
      {"Title2\nx", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Record* found = list.findByFirstLine(c.text);
    if (c.text.empty()) {
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(found->text, "");
    } else if (c.found.empty()) {
      EXPECT_EQ(found, nullptr);
    } else {
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(found->text, c.found);
    }
  }
}

TEST(RecordList, ReplaceKeepsThePlaceAndTheIndex) {
  RecordList list;
  list.append(node(list, "A\n1"), kFull);
  list.append(node(list, "B\n1"), kFull);
  list.append(node(list, "A\n2"), kFull);
  const Record* first = list.findByFirstLine("A\nx");
  list.replace(first, node(list, "A\nnew", 7));
  EXPECT_EQ(texts(list), (std::vector<std::string>{"A\nnew/7", "B\n1/14", "A\n2/14"}));
  EXPECT_EQ(list.findByFirstLine("A\n")->places, 7);
  EXPECT_EQ(list.size(), 3u);

  // A replacement with another first line: the old line's next node takes
  // over, and the new line is found at its place.
  list.replace(list.findByFirstLine("A\n"), node(list, "C\nc"));
  EXPECT_EQ(texts(list), (std::vector<std::string>{"C\nc/14", "B\n1/14", "A\n2/14"}));
  EXPECT_EQ(list.findByFirstLine("A\n")->text, "A\n2");
  EXPECT_EQ(list.findByFirstLine("C\n")->text, "C\nc");

  // A node that is not in the list changes nothing.
  Record stranger;
  list.replace(&stranger, node(list, "D"));
  EXPECT_EQ(list.size(), 3u);
  EXPECT_EQ(list.findByFirstLine("D"), nullptr);

  list.clear();
  EXPECT_EQ(list.size(), 0u);
  EXPECT_TRUE(list.records().empty());
  EXPECT_EQ(list.findByFirstLine("B\n"), nullptr);
}

}  // namespace
}  // namespace tx
