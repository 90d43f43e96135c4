#include <gtest/gtest.h>

#include "textformat/text_writer.h"

namespace tx {
namespace {

struct WriteCase {
  const char* name;
  std::string category;
  std::uint8_t secret, places, stripZeros;
  std::string text;
  std::string expected;
};

TEST(TextRecordWriter, WritesTheExactLines) {
  const WriteCase cases[] = {
      {"secret two-line record", "Work", 1, 2, 0, "1+1\n2*3",
       "Category = \"Work\"; Secret = 1\nPlaces = 2; StripZeros = 0\n1+1\n2*3\n~~~~~~~~~~~~~~~~~~~~~~~~~~~\n"},
      {"empty slot, empty text", "", 0, 14, 1, "",
       "Category = \"\"; Secret = 0\nPlaces = 14; StripZeros = 1\n\n~~~~~~~~~~~~~~~~~~~~~~~~~~~\n"},
      {"bytes as stored, unquoted", "A\"B", 0, 255, 2, "~~~~~~~~~~~~~~~~~~~~~~~~~~~ not a separator\n\n\xFF",
       "Category = \"A\"B\"; Secret = 0\nPlaces = 255; StripZeros = 2\n"
       "~~~~~~~~~~~~~~~~~~~~~~~~~~~ not a separator\n\n\xFF\n~~~~~~~~~~~~~~~~~~~~~~~~~~~\n"},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    StringSink sink;
    TextRecordWriter writer(sink);
    writer.writeRecordHead(c.category, c.secret, c.places, c.stripZeros);
    // The text arrives in pieces, as the database reader delivers it.
    for (std::size_t i = 0; i < c.text.size(); i += 3) writer.writeText(std::string_view(c.text).substr(i, 3));
    writer.endRecord();
    EXPECT_EQ(sink.text(), c.expected);
  }
}

}  // namespace
}  // namespace tx
