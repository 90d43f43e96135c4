#include <fcntl.h>
#include <sys/mman.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"
#include "textformat/handheld_charset.h"
#include "textformat/line_scan.h"
#include "textformat/text_reader.h"

namespace tx {
namespace {

using namespace std::string_literals;

const std::string kSep = "~~~~~~~~~~~~~~~~~~~~~~~~~~~\n";

// Hands out index 1, 2, 3... for each call and remembers the names.
class RecordingResolver : public CategoryResolver {
 public:
  ResolvedCategory resolve(std::string_view name) override {
    names.emplace_back(name);
    // A name that finds no free slot, as in a full table.
    if (name == "NoRoom") return {0, true};
    return {static_cast<std::uint8_t>(names.size())};
  }
  std::vector<std::string> names;
};

struct Got {
  int category, secret, places, stripZeros;
  std::string text;
  bool operator==(const Got&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Got& g) {
  return out << "{" << g.category << "," << g.secret << "," << g.places << "," << g.stripZeros << ",\"" << g.text
             << "\"}";
}

// Each note as "line N: words" and a line feed.
class RecordingNotes : public TextNotes {
 public:
  void note(std::uint64_t line, std::string_view words) override {
    text += "line " + std::to_string(line) + ": ";
    text.append(words).push_back('\n');
  }
  std::string text;
};

std::vector<Got> readAll(BufferedReader& stream, RecordingResolver& resolver, TextNotes* notes = nullptr) {
  std::vector<Got> records;
  TextArena texts;
  Record node;
  TextRecordReader reader(stream, resolver, texts, notes);
  while (reader.next(node)) {
    records.push_back({node.category, node.secret, node.places, node.stripZeros, std::string(node.text)});
  }
  return records;
}

struct ReaderCase {
  const char* name;
  std::string input;
  std::vector<Got> expected;
  std::vector<std::string> resolved;
  std::string notes = "";  // "line N: words" lines
};

const std::string kAtStart = ": the reading ends at this separator, since it stands where a record should begin; the ";
const std::string kNoText =
    ": the reading ends at this separator, since the record before it has header lines but no text; the ";
const std::string kCategoryForm =
    ": kept as text, not read as a category line: the exact form is Category = \"Name\"; Secret = 0\n";
const std::string kSettingsForm =
    ": kept as text, not read as a settings line: the exact form is Places = 14; StripZeros = 1\n";
const std::string kFffd =
    ": this line holds U+FFFD (the bytes EF BF BD), which an editor writes over a character it could not read: the "
    "text is in the handheld's 8-bit character set, not UTF-8\n";
std::string utf8Note(const std::string& bytes, const std::string& code) {
  return ": this line holds " + bytes + ", the UTF-8 form of U+" + code +
         ": the text seems to be saved as UTF-8; save it in Windows-1252, or as UTF-8 with a byte-order mark, so that "
         "it is read as meant\n";
}
std::string tildesNote(int line, int count) {
  return "line " + std::to_string(line) + ": a line of " + std::to_string(count) +
         " tildes is text, not a separator (a separator is 27 tildes), so the blocks before and after it are one "
         "record\n";
}

// Lines longer than the scanner's eight-byte steps, with what must stop it.
const std::string kLong1(100, 'a'), kLong2(90, 'b'), kLong3(77, 'c');
const std::string kWithZero = std::string(37, 'z') + '\0' + std::string(40, 'y');
const std::string kWithReturn = std::string(50, 'r') + '\r' + std::string(29, 'q');

// Category indexes come from RecordingResolver: n for its n-th call.
const ReaderCase kCases[] = {
    {"long lines: a zero byte, a carriage return, a tilde line among plain ones",
     kLong1 + "\n" + kWithZero + "\n" + kLong2 + "\r\n" + kWithReturn + "\n~not a separator\n" + kLong3 + "\n" + kSep +
         kLong2 + "\n" + kLong1,
     {{0, 0, 14, 1, kLong1 + "\n" + std::string(37, 'z') + "\n" + kLong2 + "\n" + std::string(50, 'r') +
                        "\n~not a separator\n" + kLong3},
      {0, 0, 14, 1, kLong2 + "\n" + kLong1}},
     {}},
    {"long lines: a zero byte and a carriage return in the first line of the text",
     "Places = 1; StripZeros = 0\n" + kWithZero + "\n" + kLong1 + "\n" + kWithReturn + "\n" + kSep,
     {{0, 0, 1, 0, std::string(37, 'z') + "\n" + kLong1 + "\n" + std::string(50, 'r')}}, {}},
    {"exported form", "Category = \"Work\"; Secret = 1\nPlaces = 2; StripZeros = 0\n1+1\n2*3\n" + kSep,
     {{1, 1, 2, 0, "1+1\n2*3"}}, {"Work"}},
    {"no header lines", "just text\nmore\n" + kSep, {{0, 0, 14, 1, "just text\nmore"}}, {}},
    {"category line alone", "Category = \"A\"; Secret = 0\ntext\n" + kSep, {{1, 0, 14, 1, "text"}}, {"A"}},
    {"settings line alone", "Places = 3; StripZeros = 0\ntext\n" + kSep, {{0, 0, 3, 0, "text"}}, {}},
    {"no final separator", "a\n" + kSep + "b\nc", {{0, 0, 14, 1, "a"}, {0, 0, 14, 1, "b\nc"}}, {}},
    {"separator first", kSep + "a\n" + kSep, {}, {}, "line 1" + kAtStart + "2 lines after it were not read\n"},
    {"blank lines, then separator", "\n\n" + kSep + "a\n", {}, {}, "line 3" + kAtStart + "1 line after it were not read\n"},
    {"two separators end the reading", "a\n" + kSep + "\n" + kSep + "b\n" + kSep, {{0, 0, 14, 1, "a"}}, {},
     "line 4" + kAtStart + "2 lines after it were not read\n"},
    {"only blank lines left unread: no note", "a\n" + kSep + kSep + "\n \t\r\n", {{0, 0, 14, 1, "a"}}, {}},
    {"header lines then separator: given up, resolver still called",
     "x\n" + kSep + "Category = \"Gone\"; Secret = 1\nPlaces = 1; StripZeros = 1\n" + kSep + "y\n" + kSep,
     {{0, 0, 14, 1, "x"}}, {"Gone"}, "line 5" + kNoText + "2 lines after it were not read\n"},
    {"category line then end of file", "Category = \"End\"; Secret = 1\n", {}, {"End"}},
    {"settings line then separator", "Places = 1; StripZeros = 1\n" + kSep + "y\n", {}, {},
     "line 2" + kNoText + "1 line after it were not read\n"},
    {"empty line between header lines",
     "Category = \"C\"; Secret = 0\n\nPlaces = 1; StripZeros = 0\nt\n" + kSep,
     {{1, 0, 14, 1, "\nPlaces = 1; StripZeros = 0\nt"}}, {"C"}},
    {"settings before category", "Places = 5; StripZeros = 0\nCategory = \"C\"; Secret = 1\n" + kSep,
     {{0, 0, 5, 0, "Category = \"C\"; Secret = 1"}}, {}},
    {"blank lines before a record skipped", "\n\r\n\0junk\nbody\n"s + kSep, {{0, 0, 14, 1, "body"}}, {}},
    {"CR LF", "Category = \"W\"; Secret = 1\r\nPlaces = 7; StripZeros = 1\r\nl1\r\n\r\nl3\r\n" + kSep,
     {{1, 1, 7, 1, "l1\n\nl3"}}, {"W"}},
    {"CR and zero byte end a line", "ab\rcd\nef\0gh\n\rzz\n"s + kSep, {{0, 0, 14, 1, "ab\nef\n"}}, {}},
    {"trailing empty lines keep all but one", "a\n\n" + kSep, {{0, 0, 14, 1, "a\n"}}, {}},
    {"one empty line is the empty text", "Places = 0; StripZeros = 0\n\n" + kSep, {{0, 0, 0, 0, ""}}, {}},
    {"numbers as atoi reads them",
     "Places = 300; StripZeros = 5\na\n" + kSep + "Places = -1; StripZeros = 0\nb\n" + kSep +
         "Places =   +42x; StripZeros = -0\nc\n" + kSep + "Places = ; StripZeros = zero\nd\n" + kSep +
         "Places = 4294967297; StripZeros = 00000000000000000001\ne\n" + kSep,
     {{0, 0, 44, 1, "a"}, {0, 0, 255, 0, "b"}, {0, 0, 42, 0, "c"}, {0, 0, 0, 0, "d"}, {0, 0, 1, 1, "e"}}, {}},
    {"secret numbers", "Category = \"\"; Secret = 7\na\n" + kSep + "Category = \"\"; Secret = -0\nb\n" + kSep,
     {{1, 1, 14, 1, "a"}, {2, 0, 14, 1, "b"}}, {"", ""}},
    {"name cut to 15 or at a quote",
     "Category = \"ABCDEFGHIJKLMNOPQRST\"; Secret = 0\na\n" + kSep + "Category = \"Q\"uote\"; Secret = 1\nb\n" + kSep,
     {{1, 0, 14, 1, "a"}, {2, 1, 14, 1, "b"}}, {"ABCDEFGHIJKLMNO", "Q"},
     "line 1: category name cut to its first 15 bytes: \"ABCDEFGHIJKLMNO\"\n"},
    {"a new name without a free slot", "Category = \"NoRoom\"; Secret = 0\na\n" + kSep, {{0, 0, 14, 1, "a"}},
     {"NoRoom"}, "line 1: no category slot is free for \"NoRoom\" (all 16 are named), so the record is put in category 0\n"},
    {"header lines nearly in form: kept as text, noted",
     "\tcategory= \"A\"\nPlaces = 1; StripZeros = 0\n" + kSep + "Category = \"B\"; Secret = 0\nPLACES=2\nt\n" + kSep +
         "places =3\nCategory= \"C\"\n" + kSep,
     {{0, 0, 14, 1, "\tcategory= \"A\"\nPlaces = 1; StripZeros = 0"}, {1, 0, 14, 1, "PLACES=2\nt"},
      {0, 0, 14, 1, "places =3\nCategory= \"C\""}}, {"B"},
     "line 1" + kCategoryForm + "line 5" + kSettingsForm + "line 8" + kSettingsForm},
    {"tilde lines of 20 to 26 are noted, blanks aside",
     "a\nb\nc\nd\ne\nf\ng\nh\ni\nj\n" + std::string(20, '~') + "\n" + std::string(19, '~') + "\n ~~~ " +
         std::string(23, '~') + "\t\r\n" + std::string(26, '~') + "x\n" + kSep,
     {{0, 0, 14, 1, "a\nb\nc\nd\ne\nf\ng\nh\ni\nj\n" + std::string(20, '~') + "\n" + std::string(19, '~') + "\n ~~~ " +
                        std::string(23, '~') + "\t\n" + std::string(26, '~') + "x"}},
     {}, tildesNote(11, 20) + tildesNote(13, 26)},
    {"a final 0x1A on a line of its own is the end-of-file mark", "a\n" + kSep + "b\n\x1A", {{0, 0, 14, 1, "a"}, {0, 0, 14, 1, "b"}},
     {}},
    {"a final 0x1A after a last line is the end-of-file mark", "a\nb\x1A", {{0, 0, 14, 1, "a\nb"}}, {}},
    {"a 0x1A anywhere else is a byte of the text", "\x1A\na\x1A" "b\n\x1A\n" + kSep + "\x1A\x1A",
     {{0, 0, 14, 1, "\x1A\na\x1A" "b\n\x1A"}, {0, 0, 14, 1, "\x1A"}}, {}},
    {"U+FFFD once for each line that holds it",
     "Caf\xEF\xBF\xBD\nplain \xEF\xBF\n\xEF\xBF\xBD and \xEF\xBF\xBD\n" + kSep + "x\n\xEF\xBF\xBD\n",
     {{0, 0, 14, 1, "Caf\xEF\xBF\xBD\nplain \xEF\xBF\n\xEF\xBF\xBD and \xEF\xBF\xBD"}, {0, 0, 14, 1, "x\n\xEF\xBF\xBD"}}, {},
     "line 1" + kFffd + "line 3" + kFffd + "line 6" + kFffd},
    {"UTF-8 of characters the set holds, once for each line that holds it; not after a mark",
     "caf\xC3\xA9 list\nplain \xC3\x28 \xE9\n\xE2\x82\xAC 5 and \xC3\xA9\n" + kSep + "\xEF\xBF\xBD \xC3\xA9\n",
     {{0, 0, 14, 1, "caf\xC3\xA9 list\nplain \xC3\x28 \xE9\n\xE2\x82\xAC 5 and \xC3\xA9"}, {0, 0, 14, 1, "\xEF\xBF\xBD \xC3\xA9"}},
     {}, "line 1" + utf8Note("C3 A9", "00E9") + "line 3" + utf8Note("E2 82 AC", "20AC") + "line 5" + kFffd},
    {"after a UTF-8 byte-order mark (passed over), no such note", "\xEF\xBB\xBF" "caf\xC3\xA9\n" + kSep,
     {{0, 0, 14, 1, "caf\xC3\xA9"}}, {}},
    {"carriage returns and no line feed: read as one line, noted at line 1", "Alpha\rbody\r~~~\rBeta\r",
     {{0, 0, 14, 1, "Alpha"}}, {},
     "line 1: this text has carriage returns but no line feed (the old Mac line ends), so it was read as one line: "
     "save it with CR LF or LF line ends\n"},
    {"a category line where the settings line belongs is text, noted",
     "Category = \"A\"; Secret = 1\nCategory = \"A\"; Secret = 1\nbody\n" + kSep,
     {{1, 1, 14, 1, "Category = \"A\"; Secret = 1\nbody"}}, {"A"},
     "line 2: kept as text, not read as a settings line: a second category line stands where the settings line "
     "belongs (Places = 14; StripZeros = 1)\n"},
    {"separator with trailing text; tilde lines shorter than 27 are text",
     "~~~~~\nx\n~~~~~~~~~~~~~~~~~~~~~~~~~~~ and more\ny\n" + kSep, {{0, 0, 14, 1, "~~~~~\nx"}, {0, 0, 14, 1, "y"}}, {}},
    // Lines without what the reader looks for: decided in the reader.
    {"category line without closing quote: defaults, no name resolved",
     "Category = \"Open; Secret = 1\nPlaces = 2; StripZeros = 0\nt\n" + kSep, {{0, 0, 2, 0, "t"}}, {}},
    {"category line without equals after the name: secret 0", "Category = \"N\" Secret 1\nt\n" + kSep,
     {{1, 0, 14, 1, "t"}}, {"N"}},
    {"settings line with one equals sign: strip-zeros 1", "Places = 9, StripZeros 0\nt\n" + kSep,
     {{0, 0, 9, 1, "t"}}, {}},
};

TEST(TextRecordReader, ParsesRecords) {
  for (const ReaderCase& c : kCases) {
    SCOPED_TRACE(c.name);
    // Read as a stream and where the bytes stay in memory: the same records
    // and the same notes on the same lines.
    for (bool inMemory : {false, true}) {
      SCOPED_TRACE(inMemory ? "in memory" : "streamed");
      std::unique_ptr<BufferedReader> stream = inMemory ? std::make_unique<BufferedReader>(BufferedReader::InMemory{}, c.input)
                                                        : std::make_unique<BufferedReader>(c.input);
      RecordingResolver resolver;
      RecordingNotes notes;
      EXPECT_EQ(readAll(*stream, resolver, &notes), c.expected);
      EXPECT_EQ(resolver.names, c.resolved);
      EXPECT_EQ(notes.text, c.notes);
      EXPECT_EQ(stream->error(), 0);
    }
  }
}

// The scans against plain byte loops, on random bytes of what they look
// for, at every length up to well past their sixteen- and eight-byte steps.
TEST(LineScan, AgreesWithPlainLoops) {
  const char kBytes[] = {'a', '\n', '\n', '~', '\r', '\0', '\x80', '\xE9', ' '};
  std::uint64_t state = 7;
  auto random = [&state](std::uint64_t below) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return (state >> 33) % below;
  };
  for (std::size_t size = 0; size <= 70; ++size) {
    for (int round = 0; round < 60; ++round) {
      std::string bytes(size, 'a');
      // Mostly plain bytes, so that the stops fall anywhere, late too.
      const std::uint64_t odd = random(4);
      for (char& c : bytes) c = random(8) < odd ? kBytes[random(std::size(kBytes))] : 'a';
      SCOPED_TRACE(::testing::PrintToString(bytes));
      // In a block of exactly their size, so that the sanitizer build sees a
      // read past them.
      const std::unique_ptr<char[]> block = std::make_unique<char[]>(size);
      std::copy(bytes.begin(), bytes.end(), block.get());
      const char* at = block.get();
      std::size_t stop = 0;
      while (stop < size && at[stop] != '\r' && at[stop] != '\0' &&
             !(at[stop] == '\n' && stop + 1 < size && at[stop + 1] == '~')) {
        ++stop;
      }
      const std::string_view before(at, stop);
      const auto feeds = static_cast<std::uint64_t>(std::count(before.begin(), before.end(), '\n'));
      const bool marked = std::any_of(before.begin(), before.end(), [](char c) { return c == '~' || (c & 0x80) != 0; });
      const LineStop scanned = scanToLineStop(at, size);
      EXPECT_EQ(scanned.at, stop);
      EXPECT_EQ(scanned.feeds, feeds);
      EXPECT_EQ(scanned.marked, marked);
      const std::string_view all(at, size);
      EXPECT_EQ(countLineFeeds(at, size), static_cast<std::uint64_t>(std::count(all.begin(), all.end(), '\n')));
      EXPECT_EQ(firstReturnOrZero(all), std::min(all.find('\r'), all.find('\0')) == std::string_view::npos
                                            ? size
                                            : std::min(all.find('\r'), all.find('\0')));
      const std::size_t firstMark = static_cast<std::size_t>(
          std::find_if(all.begin(), all.end(), [](char c) { return c == '~' || (c & 0x80) != 0; }) - all.begin());
      EXPECT_EQ(firstTildeOrHighByte(all), firstMark);
    }
  }
}

TEST(TextRecordReader, GivenUpRecordStopsBeforeTheRest) {
  BufferedReader stream("Category = \"A\"; Secret = 0\n" + kSep + "after\n" + kSep);
  RecordingResolver resolver;
  TextArena texts;
  Record node;
  EXPECT_FALSE(TextRecordReader(stream, resolver, texts).next(node));
  // What follows the given-up record is still unread.
  std::string_view line;
  EXPECT_EQ(readTextLine(stream, line), TextLine::Line);
  EXPECT_EQ(line, "after");
}

TEST(ReadTextLine, LinesOfAnyLengthAreReadWhole) {
  for (std::size_t length : {254u, 255u, 256u, 511u, 100000u}) {
    SCOPED_TRACE(length);
    const std::string body(length, 'x');
    // Through a file with a small block, so that lines cross refills.
    txtest::TempDir dir;
    txtest::writeFile(dir.file("t.txt"), body + "\n" + body + "\r\n" + kSep + "tail");
    const int fd = ::open(dir.file("t.txt").c_str(), O_RDONLY);
    BufferedReader stream(fd, 100);
    std::string_view line;
    EXPECT_EQ(readTextLine(stream, line), TextLine::Line);
    EXPECT_EQ(line, body);
    EXPECT_EQ(readTextLine(stream, line), TextLine::Line);
    EXPECT_EQ(line.size(), length);
    EXPECT_EQ(readTextLine(stream, line), TextLine::Separator);
    EXPECT_EQ(readTextLine(stream, line), TextLine::Line);
    EXPECT_EQ(line, "tail");
    EXPECT_EQ(readTextLine(stream, line), TextLine::EndOfFile);
    ::close(fd);
  }
}

TEST(ReadTextLine, ReadErrorIsNotTheEnd) {
  txtest::TempDir dir;
  const int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  BufferedReader stream(fd);
  std::string_view line;
  EXPECT_EQ(readTextLine(stream, line), TextLine::ReadError);
  EXPECT_EQ(stream.error(), EISDIR);
  RecordingResolver resolver;
  TextArena texts;
  Record node;
  EXPECT_FALSE(TextRecordReader(stream, resolver, texts).next(node));
  ::close(fd);
}

}  // namespace
}  // namespace tx

namespace tx {
namespace {

// The UTF-8 form of a character.
std::string utf8Of(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

TEST(HandheldCharset, EveryByteIsOneCharacterAndItsUtf8ConvertsBack) {
  std::string all, utf8;
  for (int byte = 0; byte < 256; ++byte) {
    const char32_t c = handheldCharacter(static_cast<std::uint8_t>(byte));
    EXPECT_EQ(handheldByte(c), byte) << byte;
    all += static_cast<char>(byte);
    utf8 += utf8Of(c);
  }
  // Windows-1252's own characters where it defines them.
  EXPECT_EQ(handheldCharacter(0x80), U'\u20AC');
  EXPECT_EQ(handheldCharacter(0x93), U'\u201C');
  EXPECT_EQ(handheldCharacter(0x9F), U'\u0178');
  EXPECT_EQ(handheldCharacter(0xE9), U'\u00E9');
  EXPECT_EQ(handheldByte(U'\u2192'), -1);
  const HandheldConversion converted = utf8ToHandheld(utf8.data(), utf8.size());
  EXPECT_EQ(converted.badLine, 0u);
  EXPECT_EQ(utf8.substr(0, converted.size), all);
}

TEST(HandheldCharset, OnlyWellFormedUtf8IsRead) {
  struct Case {
    std::string bytes;
    char32_t character;
    std::size_t length;
  };
  const Case cases[] = {
      {"\xC3\xA9", U'\u00E9', 2},       {"\xE2\x82\xAC", U'\u20AC', 3}, {"\xF0\x9F\x98\x80", U'\U0001F600', 4},
      {"\xC0\xAF", 0, 0} /* overlong */, {"\xE0\x80\xAF", 0, 0},        {"\xED\xA0\x80", 0, 0} /* surrogate */,
      {"\xF4\x90\x80\x80", 0, 0},        {"\xC3", 0, 0} /* cut short */, {"\xC3(", 0, 0}, {"\x80", 0, 0},
  };
  for (const Case& c : cases) {
    const Utf8Character read = readUtf8(c.bytes);
    EXPECT_EQ(read.length, c.length) << c.bytes;
    EXPECT_EQ(read.character, c.character) << c.bytes;
  }
  std::string text = "ok\n\xE2\x86\x92\n";
  EXPECT_EQ(utf8ToHandheld(text.data(), text.size()).badLine, 2u);
}

}  // namespace
}  // namespace tx

namespace tx {
namespace {

// A peek for more than a whole buffer holds, at the end of the input: the
// buffer grows before the read finds the end, and the view must be of the
// buffer as it is then (the sanitizer build catches a stale one).
TEST(BufferedReaderPeek, ForMoreThanTheInputHoldsGivesAllOfIt) {
  for (const std::size_t size : {std::size_t{15}, std::size_t{16}, std::size_t{17}, std::size_t{32}}) {
    SCOPED_TRACE(size);
    const int fd = ::memfd_create("peek", 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, std::string(size, 'x').data(), size), static_cast<ssize_t>(size));
    ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
    BufferedReader reader(fd, 16);
    const std::string_view all = reader.peek(size + 100);
    ASSERT_EQ(all.size(), size);
    EXPECT_EQ(all.find_first_not_of('x'), std::string_view::npos);
    ::close(fd);
  }
}

}  // namespace
}  // namespace tx
