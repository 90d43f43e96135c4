#include <cerrno>
#include <cstring>

#include "textformat/text_records.h"

namespace tx {

ByteOrderMark readByteOrderMark(BufferedReader& text) {
  const std::string_view start = text.peek(3);
  if (start.substr(0, 3) == "\xEF\xBB\xBF") {
    text.advance(3);
    return ByteOrderMark::Utf8;
  }
  if (start.substr(0, 2) == "\xFF\xFE" || start.substr(0, 2) == "\xFE\xFF") return ByteOrderMark::Utf16;
  return ByteOrderMark::None;
}

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101u;
constexpr std::uint64_t kHighs = 0x8080808080808080u;

// Whether any byte of `word` is `byte`.
constexpr std::uint64_t holds(std::uint64_t word, char byte) {
  const std::uint64_t zeroWhere = word ^ (kOnes * static_cast<unsigned char>(byte));
  return (zeroWhere - kOnes) & ~zeroWhere & kHighs;
}

// Where the first of the bytes in `stops` stands in `text`, or its size:
// eight bytes at a time, since most lines hold none of them but their end.
template <char... stops>
std::size_t firstOf(std::string_view text) {
  const char* bytes = text.data();
  std::size_t at = 0;
  for (; at + 8 <= text.size(); at += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + at, 8);
    if ((holds(word, stops) | ...)) break;
  }
  for (; at < text.size(); ++at) {
    if (((bytes[at] == stops) || ...)) return at;
  }
  return text.size();
}

// In `bytes`, which starts with a line feed: the first carriage return or
// zero byte, or the first line feed that a tilde follows (the start of a
// line that may be a separator); `size` where there is none.  Eight bytes at
// a time: a word in which one of them may stand is looked at byte by byte.
std::size_t firstLineStop(const char* bytes, std::size_t size) {
  auto stopsAt = [bytes, size](std::size_t at) {
    return bytes[at] == '\r' || bytes[at] == '\0' || (bytes[at] == '\n' && at + 1 < size && bytes[at + 1] == '~');
  };
  std::size_t at = 0;
  for (; at + 9 <= size; at += 8) {
    std::uint64_t word;
    std::uint64_t next;  // the same bytes, one on
    std::memcpy(&word, bytes + at, 8);
    std::memcpy(&next, bytes + at + 1, 8);
    if ((holds(word, '\r') | holds(word, '\0') | (holds(word, '\n') & holds(next, '~'))) == 0) continue;
    for (std::size_t i = at; i < at + 8; ++i) {
      if (stopsAt(i)) return i;
    }
  }
  for (; at < size; ++at) {
    if (stopsAt(at)) return at;
  }
  return size;
}

// `end` ends the content of a whole line in memory.  Where the reader stands
// right after its line feed, moves it past every following line that holds
// no carriage return or zero byte and cannot be a separator, in one pass
// over their bytes; gives the end of the last whole line passed.
const char* passWholeLines(BufferedReader& text, const char* end) {
  const std::string_view rest = text.peek();
  if (rest.empty() || rest.data() != end + 1) return end;
  const std::size_t size = rest.size() + 1;
  std::size_t stop = firstLineStop(end, size);
  // A line feed that a tilde follows ends the lines passed; otherwise they
  // end at the last line feed before the stop.
  if (stop == size || end[stop] != '\n') {
    while (end[--stop] != '\n') {
    }
  }
  text.advance(stop);
  return end + stop;
}

bool isSeparator(std::string_view line) {
  return line.size() >= kSeparatorLength && line.front() == '~' &&
         line.substr(0, kSeparatorLength) == kSeparatorLine.substr(0, kSeparatorLength);
}

}  // namespace

TextLine readTextLine(BufferedReader& text, std::string_view& line, bool* whole) {
  line = text.readLine();
  if (line.empty()) return text.error() != 0 ? TextLine::ReadError : TextLine::EndOfFile;
  if (isSeparator(line)) return TextLine::Separator;
  // The line feed, if any, is last; a carriage return or a zero byte may
  // end the line before it.
  if (line.back() == '\n') line.remove_suffix(1);
  const std::size_t stop = firstOf<'\r', '\0'>(line);
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
  auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
  while (at < text.size() && isBlank(text[at])) ++at;
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

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

void readCategoryLine(std::string_view line, CategoryResolver& resolver, RecordNode& record) {
  const std::size_t nameStart = kCategoryLinePrefix.size();
  const std::size_t closing = line.find('"', nameStart);
  // Without a closing quote there is no name to trust: the line still counts
  // as the category line, and the record keeps category 0 and secret 0,
  // without naming any category.
  if (closing == std::string_view::npos) return;
  const std::size_t length = closing - nameStart;
  record.category = resolver.resolve(line.substr(nameStart, length < kMaxCategoryNameLength ? length : kMaxCategoryNameLength));
  // Without an equals sign after the name the secret flag keeps its default.
  const std::size_t equals = line.find('=', closing + 1);
  if (equals != std::string_view::npos) record.secret = readNumber(line, equals + 1).nonZero ? 1 : 0;
}

void readSettingsLine(std::string_view line, RecordNode& record) {
  // "Places = " holds the first equals sign, so places is always there.
  const std::size_t first = line.find('=');
  record.places = readNumber(line, first + 1).lowByte;
  // Without a second equals sign strip-zeros keeps its default.
  const std::size_t second = line.find('=', first + 1);
  if (second != std::string_view::npos) record.stripZeros = readNumber(line, second + 1).nonZero ? 1 : 0;
}

}  // namespace

bool TextRecordReader::next(BufferedReader& text, CategoryResolver& resolver, TextArena& texts, RecordNode& record) {
  record = RecordNode{};
  std::string_view line;
  bool whole = true;  // of the line just read
  TextLine result;
  do {
    result = readTextLine(text, line, &whole);
  } while (result == TextLine::Line && line.empty());
  if (result != TextLine::Line) return false;

  if (startsWith(line, kCategoryLinePrefix)) {
    readCategoryLine(line, resolver, record);
    if (readTextLine(text, line, &whole) != TextLine::Line) return false;
  }
  if (startsWith(line, kSettingsLinePrefix)) {
    readSettingsLine(line, record);
    if (readTextLine(text, line, &whole) != TextLine::Line) return false;
  }
  // Where the input stays in memory and the lines of the text stand there
  // whole, one after the other, the text is used where it lies.
  if (text.keepsItsBytes() && whole) {
    const char* start = line.data();
    const char* end = start + line.size();
    for (;;) {
      end = passWholeLines(text, end);
      result = readTextLine(text, line, &whole);
      if (result != TextLine::Line || !whole || line.data() != end + 1) break;
      end = line.data() + line.size();
    }
    if (result == TextLine::ReadError) return false;
    if (result != TextLine::Line) {
      record.text = std::string_view(start, static_cast<std::size_t>(end - start));
      return true;
    }
    // A line that does not stand whole: the text is put together after all.
    texts.begin();
    texts.append(std::string_view(start, static_cast<std::size_t>(end - start)));
    texts.push_back('\n');
  } else {
    texts.begin();
  }
  // Each line and its line feed go into the text's storage.
  do {
    texts.append(line);
    texts.push_back('\n');
  } while ((result = readTextLine(text, line)) == TextLine::Line);
  // A record cut short by a read error is not given; the caller reports it.
  if (result == TextLine::ReadError) {
    texts.abandon();
    return false;
  }
  // The last line feed ends the text.
  texts.trim(1);
  record.text = texts.finish();
  return true;
}

}  // namespace tx
