#include <cerrno>
#include <cstring>
#include <string>

#include "textformat/handheld_charset.h"
#include "textformat/line_scan.h"
#include "textformat/text_reader.h"

namespace tx {

ByteOrderMark byteOrderMarkOf(BufferedReader& text) {
  const std::string_view start = text.peek(3);
  if (start.substr(0, 3) == kUtf8Mark) return ByteOrderMark::Utf8;
  if (start.substr(0, 2) == "\xFF\xFE" || start.substr(0, 2) == "\xFE\xFF") return ByteOrderMark::Utf16;
  // Without a mark: two characters of ASCII as UTF-16, little- or big-endian.
  const std::string_view four = text.peek(4).substr(0, 4);
  if (four.size() == 4) {
    const auto zero = [&four](std::size_t at) { return four[at] == '\0'; };
    if ((zero(1) && zero(3) && !zero(0) && !zero(2)) || (zero(0) && zero(2) && !zero(1) && !zero(3))) {
      return ByteOrderMark::Utf16;
    }
  }
  return ByteOrderMark::None;
}

namespace {

// A record's text as it is read: a view of its bytes where they lie, while
// its lines stand whole one after the other in memory that stays (a file
// read whole); otherwise a copy in the text storage, made from the moment
// that stops being so.
class TextBuilder {
 public:
  TextBuilder(TextArena& texts, bool bytesStay) : texts_(texts), bytesStay_(bytesStay) {}

  // One line's content; `whole` where its line feed follows it there.
  void addLine(std::string_view content, bool whole) {
    if (extendsView(content.data(), whole)) {
      end_ = content.data() + content.size();
      return;
    }
    texts_.append(content);
    texts_.push_back('\n');
  }
  // Whole lines, each with its line feed.
  void addLines(std::string_view lines) {
    if (extendsView(lines.data(), true)) {
      end_ = lines.data() + lines.size() - 1;
      return;
    }
    texts_.append(lines);
  }
  // The text: its lines joined by line feeds, without a last one.
  std::string_view finish() {
    if (!copying_) return {start_, static_cast<std::size_t>(end_ - start_)};
    texts_.trim(1);
    return texts_.finish();
  }
  void abandon() {
    if (copying_) texts_.abandon();
  }

 private:
  // Whether bytes at `at` continue the view (the view's last line feed
  // stands right before them); where they cannot, the view becomes a copy.
  bool extendsView(const char* at, bool whole) {
    if (copying_) return false;
    if (!started_ && bytesStay_ && whole) {
      started_ = true;
      start_ = at;
      return true;
    }
    if (started_ && whole && at == end_ + 1) return true;
    copying_ = true;
    texts_.begin();
    if (started_) {
      texts_.append({start_, static_cast<std::size_t>(end_ - start_)});
      texts_.push_back('\n');
    }
    return false;
  }

  TextArena& texts_;
  bool bytesStay_;
  bool started_ = false;
  bool copying_ = false;
  const char* start_ = nullptr;
  const char* end_ = nullptr;  // the end of the last line's content
};

constexpr char kEndOfFileMark = '\x1A';

bool isSeparator(std::string_view line) {
  return line.size() >= kSeparatorLength && line.front() == '~' &&
         line.substr(0, kSeparatorLength) == kSeparatorLine.substr(0, kSeparatorLength);
}

}  // namespace

TextLine readTextLine(BufferedReader& text, std::string_view& line, bool* whole) {
  line = text.readLine();
  // One 0x1A as the very last byte of the input (a last line has no line
  // feed) is the old end-of-file mark of some editors and copy commands.
  if (!line.empty() && line.back() == kEndOfFileMark) line.remove_suffix(1);
  if (line.empty()) return text.error() != 0 ? TextLine::ReadError : TextLine::EndOfFile;
  if (isSeparator(line)) return TextLine::Separator;
  // The line feed, if any, is last; a carriage return or a zero byte may
  // end the line before it.
  if (line.back() == '\n') line.remove_suffix(1);
  const std::size_t stop = firstReturnOrZero(line);
  if (whole) *whole = stop == line.size();
  line = line.substr(0, stop);
  return TextLine::Line;
}

namespace {

// A number as atoi reads it: leading white space, an optional sign, then
// decimal digits up to the first other character; no digits give 0.  Only its
// low 8 bits and whether it is 0 are wanted, so it cannot overflow.
struct Number {
  std::uint8_t lowByte = 0;
  bool nonZero = false;
};

Number readNumber(std::string_view text, std::size_t at) {
  // What atoi passes over: C's white space.
  auto isCSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
  while (at < text.size() && isCSpace(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  Number number;
  unsigned value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    value = (value * 10 + static_cast<unsigned>(text[at] - '0')) & 0xFFu;
    if (text[at] != '0') number.nonZero = true;
  }
  number.lowByte = static_cast<std::uint8_t>(negative ? (0x100u - value) & 0xFFu : value);
  return number;
}

void readSettingsLine(std::string_view line, Record& record) {
  // "Places = " holds the first equals sign, so places is always there.
  const std::size_t first = line.find('=');
  record.places = readNumber(line, first + 1).lowByte;
  // Without a second equals sign strip-zeros keeps its default.
  const std::size_t second = line.find('=', first + 1);
  if (second != std::string_view::npos) record.stripZeros = readNumber(line, second + 1).nonZero ? 1 : 0;
}

bool isBlankOrLineEnd(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// `line` with blanks and tabs left out and letters in lower case begins with
// `form`.
bool looselyBegins(std::string_view line, std::string_view form) {
  std::size_t matched = 0;
  for (char c : line) {
    if (matched == form.size()) break;
    if (c == ' ' || c == '\t') continue;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != form[matched++]) return false;
  }
  return matched == form.size();
}

std::string linesNotRead(std::uint64_t count) {
  return "the " + std::to_string(count) + (count == 1 ? " line" : " lines") + " after it were not read";
}

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// The whole lines from the reader's position on, as far as its buffered
// bytes go, that hold no carriage return or zero byte and none of which
// begins with a tilde (so that none can be a separator), each with its line
// feed; the reader moves past them.  One pass over their bytes: most lines
// of most records go so.  With them, how many line feeds they hold, and
// whether they may hold a tilde or a byte past ASCII.
struct PlainLines {
  std::string_view lines;
  std::uint64_t feeds = 0;
  bool marked = false;
};

PlainLines passPlainLines(BufferedReader& text) {
  const std::string_view bytes = text.peek();
  if (bytes.empty() || bytes.front() == '~') return {};
  const LineStop stop = scanToLineStop(bytes.data(), bytes.size());
  PlainLines plain{{}, stop.feeds, stop.marked};
  std::size_t end = 0;
  if (stop.at < bytes.size() && bytes[stop.at] == '\n') {
    end = stop.at + 1;  // a line that begins with a tilde follows
    ++plain.feeds;
  } else if (stop.at > 0) {
    // Every line feed before the stop is before the end of its line.
    const std::size_t feed = bytes.rfind('\n', stop.at - 1);
    if (feed != std::string_view::npos) end = feed + 1;
  }
  text.advance(end);
  plain.lines = bytes.substr(0, end);
  return plain;
}

// The first two- or three-byte UTF-8 sequence in `line` of a character past
// ASCII that the handheld's set holds (C3 A9 for U+00E9, say), named as
// "C3 A9, the UTF-8 form of U+00E9"; "" where there is none.
std::string utf8LookAlike(std::string_view line) {
  for (std::size_t at = 0; at < line.size(); ++at) {
    if (static_cast<unsigned char>(line[at]) < 0xC2) continue;
    const Utf8Character read = readUtf8(line.substr(at));
    if ((read.length != 2 && read.length != 3) || handheldByte(read.character) < 0x80) continue;
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string named;
    for (std::size_t i = 0; i < read.length; ++i) {
      const auto byte = static_cast<unsigned char>(line[at + i]);
      named += std::string(i == 0 ? "" : " ") + kHex[byte >> 4] + kHex[byte & 15];
    }
    std::string code;
    for (int shift = 12; shift >= 0; shift -= 4) code += kHex[(read.character >> shift) & 15];
    return named + ", the UTF-8 form of U+" + code;
  }
  return {};
}

}  // namespace

TextLine TextRecordReader::readLine(std::string_view& line, bool* whole) {
  const TextLine result = readTextLine(text_, line, whole);
  if (result == TextLine::Line || result == TextLine::Separator) ++line_;
  if (result == TextLine::ReadError) error_ = text_.error();
  return result;
}

bool TextRecordReader::next(Record& record) {
  if (!begun_) {
    // A UTF-8 byte-order mark is no part of the text: the text after it was
    // converted to the handheld's set where it was read.
    begun_ = true;
    utf8_ = byteOrderMarkOf(text_) == ByteOrderMark::Utf8;
    if (utf8_) text_.advance(kUtf8Mark.size());
    if (notes_) noteOldMacLineEnds();
  }
  record = Record{};
  std::string_view line;
  bool whole = true;  // of the line just read
  TextLine result;
  do {
    result = readLine(line, &whole);
  } while (result == TextLine::Line && line.empty());
  if (result != TextLine::Line) return stop(result, false);

  noteHeaderLookalike(line);
  if (line.starts_with(kCategoryLinePrefix)) {
    readCategoryLine(line, record);
    if ((result = readLine(line, &whole)) != TextLine::Line) return stop(result, true);
    noteHeaderLookalike(line);
    if (notes_ && line.starts_with(kCategoryLinePrefix)) {
      note(line_, "kept as text, not read as a settings line: a second category line stands where the settings "
                  "line belongs (Places = 14; StripZeros = 1)");
    }
  }
  if (line.starts_with(kSettingsLinePrefix)) {
    readSettingsLine(line, record);
    if ((result = readLine(line, &whole)) != TextLine::Line) return stop(result, true);
  }
  return readText(line, whole, record);
}

bool TextRecordReader::readText(std::string_view line, bool whole, Record& record) {
  const std::uint64_t firstLine = line_;
  TextBuilder text(texts_, text_.keepsItsBytes());
  TextLine result;
  // Whether a line may hold what the notes look at.
  bool marked = false;
  do {
    text.addLine(line, whole);
    marked = marked || firstTildeOrHighByte(line) < line.size();
    const PlainLines plain = passPlainLines(text_);
    if (!plain.lines.empty()) {
      line_ += plain.feeds;
      marked = marked || plain.marked;
      text.addLines(plain.lines);
    }
  } while ((result = readLine(line, &whole)) == TextLine::Line);
  // A record cut short by a read error is not given; the caller reports it.
  if (result == TextLine::ReadError) {
    text.abandon();
    return false;
  }
  record.text = text.finish();
  if (marked) noteTextLines(record.text, firstLine);
  return true;
}

void TextRecordReader::readCategoryLine(std::string_view line, Record& record) {
  const std::size_t nameStart = kCategoryLinePrefix.size();
  const std::size_t closing = line.find('"', nameStart);
  // Without a closing quote there is no name to trust: the line still counts
  // as the category line, and the record keeps category 0 and secret 0,
  // without naming any category.
  if (closing == std::string_view::npos) return;
  std::string_view name = line.substr(nameStart, closing - nameStart);
  if (name.size() > kMaxCategoryNameLength) {
    name = name.substr(0, kMaxCategoryNameLength);
    note(line_, "category name cut to its first 15 bytes: \"" + std::string(name) + "\"");
  }
  const ResolvedCategory category = resolver_.resolve(name);
  record.category = category.index;
  if (category.unplaced) {
    note(line_, "no category slot is free for \"" + std::string(name) +
                    "\" (all 16 are named), so the record is put in category 0");
  }
  // Without an equals sign after the name the secret flag keeps its default.
  const std::size_t equals = line.find('=', closing + 1);
  if (equals != std::string_view::npos) record.secret = readNumber(line, equals + 1).nonZero ? 1 : 0;
}

bool TextRecordReader::stop(TextLine result, bool noText) {
  // Where the reading ends at a separator, what comes after it is never
  // read: the user hears how much that is, unless it is only blank lines.
  if (result != TextLine::Separator || !notes_) return false;
  const std::uint64_t separator = line_;
  std::uint64_t count = 0;
  bool nonBlank = false;
  for (std::string_view rest; !(rest = text_.readLine()).empty(); ++count) {
    for (std::size_t i = 0; i < rest.size() && !nonBlank; ++i) nonBlank = !isBlankOrLineEnd(rest[i]);
  }
  // A read error here changes nothing: those lines were never to be read.
  if (!nonBlank || text_.error() != 0) return false;
  note(separator, std::string(noText ? "the reading ends at this separator, since the record before it has header "
                                       "lines but no text; "
                                     : "the reading ends at this separator, since it stands where a record should "
                                       "begin; ") +
                      linesNotRead(count));
  return false;
}

void TextRecordReader::noteOldMacLineEnds() {
  // Carriage returns and not one line feed in the text's first 4 KiB (the
  // same however it is read).
  const std::string_view start = text_.peek(4096).substr(0, 4096);
  if (start.find('\r') == std::string_view::npos || start.find('\n') != std::string_view::npos) return;
  note(1, "this text has carriage returns but no line feed (the old Mac line ends), so it was read as one line: "
          "save it with CR LF or LF line ends");
}

void TextRecordReader::noteHeaderLookalike(std::string_view line) {
  if (!notes_ || line.starts_with(kCategoryLinePrefix) || line.starts_with(kSettingsLinePrefix)) return;
  if (looselyBegins(line, "category=\"")) {
    note(line_, "kept as text, not read as a category line: the exact form is Category = \"Name\"; Secret = 0");
  } else if (looselyBegins(line, "places=")) {
    note(line_, "kept as text, not read as a settings line: the exact form is Places = 14; StripZeros = 1");
  }
}

void TextRecordReader::noteTextLines(std::string_view text, std::uint64_t firstLine) {
  if (!notes_) return;
  // Only lines that hold a tilde or a byte past ASCII are looked at.
  std::uint64_t line = firstLine;
  std::size_t lineStart = 0;
  for (std::size_t at = firstTildeOrHighByte(text); at < text.size();) {
    // The line that holds `at`, and its number.
    const std::size_t before = text.rfind('\n', at);
    const std::size_t start = before == std::string_view::npos ? 0 : before + 1;
    line += countLineFeeds(text.data() + lineStart, start - lineStart);
    lineStart = start;
    const std::size_t feed = text.find('\n', at);
    const std::size_t end = feed == std::string_view::npos ? text.size() : feed;
    const std::string_view content = text.substr(start, end - start);
    std::size_t tildes = 0;
    bool onlyTildes = true;
    for (char c : content) {
      if (c == '~') ++tildes;
      else if (c != ' ' && c != '\t') onlyTildes = false;
    }
    if (onlyTildes && tildes >= 20 && tildes < kSeparatorLength) {
      note(line, "a line of " + std::to_string(tildes) + " tildes is text, not a separator (a separator is 27 "
                 "tildes), so the blocks before and after it are one record");
    } else if (content.find(kReplacementCharacter) != std::string_view::npos) {
      note(line, "this line holds U+FFFD (the bytes EF BF BD), which an editor writes over a character it could "
                 "not read: the text is in the handheld's 8-bit character set, not UTF-8");
    } else if (const std::string seemsUtf8 = utf8LookAlike(content); !utf8_ && !seemsUtf8.empty()) {
      note(line, "this line holds " + seemsUtf8 + ": the text seems to be saved as UTF-8; save it in "
                 "Windows-1252, or as UTF-8 with a byte-order mark, so that it is read as meant");
    }
    if (end == text.size()) break;
    at = end + 1 + firstTildeOrHighByte(text.substr(end + 1));
  }
}

}  // namespace tx
