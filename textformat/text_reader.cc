#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "textformat/text_records.h"

namespace tx {

TextStream::TextStream(int fd, std::size_t blockSize) : fd_(fd), blockSize_(blockSize) {}

TextStream::TextStream(std::string text) : buffer_(std::move(text)), atEnd_(true) {}

bool TextStream::fill() {
  // Called only once the buffer is used up: it is refilled from the start.
  buffer_.clear();
  start_ = 0;
  if (atEnd_ || error_ != 0) return false;
  buffer_.resize(blockSize_);
  for (;;) {
    const ssize_t got = ::read(fd_, buffer_.data(), blockSize_);
    if (got < 0 && errno == EINTR) continue;
    buffer_.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    if (got < 0) error_ = errno;
    if (got == 0) atEnd_ = true;
    return got > 0;
  }
}

void TextStream::fillTo(std::size_t count) {
  char chunk[64];
  while (buffer_.size() - start_ < count && !atEnd_ && error_ == 0) {
    const ssize_t got = ::read(fd_, chunk, sizeof chunk < count ? sizeof chunk : count);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error_ = errno;
    if (got == 0) atEnd_ = true;
    if (got > 0) buffer_.append(chunk, static_cast<std::size_t>(got));
  }
}

std::string_view TextStream::peekStart(std::size_t count) {
  fillTo(count);
  return std::string_view(buffer_).substr(start_, count);
}

ByteOrderMark TextStream::readByteOrderMark() {
  const std::string_view start = peekStart(3);
  if (start.substr(0, 3) == "\xEF\xBB\xBF") {
    start_ += 3;
    return ByteOrderMark::Utf8;
  }
  if (start.substr(0, 2) == "\xFF\xFE" || start.substr(0, 2) == "\xFE\xFF") return ByteOrderMark::Utf16;
  return ByteOrderMark::None;
}

bool TextStream::readPhysicalLine(std::string& line) {
  bool any = false;
  for (;;) {
    if (start_ == buffer_.size() && !fill()) return any && error_ == 0;
    const char* begin = buffer_.data() + start_;
    const std::size_t available = buffer_.size() - start_;
    const void* feed = std::memchr(begin, '\n', available);
    const std::size_t take =
        feed ? static_cast<std::size_t>(static_cast<const char*>(feed) - begin) + 1 : available;
    line.append(begin, take);
    start_ += take;
    any = true;
    if (feed) return true;
  }
}

long readTextLine(TextStream& stream, std::string& line) {
  line.clear();
  if (!stream.readPhysicalLine(line)) return stream.error() != 0 ? kLineReadError : kLineEndOfFile;
  if (line.size() >= kSeparatorLength && line.compare(0, kSeparatorLength, kSeparatorLine, 0, kSeparatorLength) == 0) {
    return kLineSeparator;
  }
  std::size_t end = 0;
  while (end < line.size() && line[end] != '\r' && line[end] != '\n' && line[end] != '\0') ++end;
  line.resize(end);
  line.push_back('\n');
  return static_cast<long>(line.size());
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

RecordNodePtr TextRecordReader::next(TextStream& stream, CategoryResolver& resolver) {
  std::string& line = line_;
  long result;
  do {
    result = readTextLine(stream, line);
  } while (result == 1);
  if (result < 1) return nullptr;

  auto record = std::make_unique<RecordNode>();
  if (startsWith(line, kCategoryLinePrefix)) {
    // The line feed is no part of the header fields.
    readCategoryLine(std::string_view(line).substr(0, line.size() - 1), resolver, *record);
    if (readTextLine(stream, line) < 1) return nullptr;
  }
  if (startsWith(line, kSettingsLinePrefix)) {
    readSettingsLine(std::string_view(line).substr(0, line.size() - 1), *record);
    if (readTextLine(stream, line) < 1) return nullptr;
  }
  text_ = line;
  while ((result = readTextLine(stream, line)) >= 1) text_.append(line);
  // A record cut short by a read error is not given; the caller reports it.
  if (result == kLineReadError) return nullptr;
  // The last line feed ends the text.
  record->text.assign(text_, 0, text_.size() - 1);
  return record;
}

}  // namespace tx
