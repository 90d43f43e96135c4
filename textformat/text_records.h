// The text form of records: what the exporter writes and the importer reads.
//
// Each record is written as
//   Category = "<name>"; Secret = <0|1>
//   Places = <0-255>; StripZeros = <0-255>
//   <the text, its line feeds as line ends>
//   ~~~~~~~~~~~~~~~~~~~~~~~~~~~        (kSeparatorLine)
// Nothing is quoted or escaped.  The reader is tolerant: header lines may be
// missing, blank lines before a record are skipped, CR LF reads as LF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "dbformat/database_format.h"
#include "dbformat/file_io.h"

namespace tx {

inline constexpr std::string_view kSeparatorLine = "~~~~~~~~~~~~~~~~~~~~~~~~~~~\n";
inline constexpr std::size_t kSeparatorLength = 27;
inline constexpr std::string_view kCategoryLinePrefix = "Category = \"";
inline constexpr std::string_view kSettingsLinePrefix = "Places = ";
inline constexpr std::size_t kMaxCategoryNameLength = 15;
static_assert(kSeparatorLine.size() == kSeparatorLength + 1);

// Writes records in the text form to a sink.
class TextRecordWriter {
 public:
  explicit TextRecordWriter(ByteSink& sink) : sink_(sink) {}

  // The category line and the settings line.
  void writeRecordHead(std::string_view categoryName, std::uint8_t secret, std::uint8_t places,
                       std::uint8_t stripZeros);
  // Text bytes, as stored.
  void writeText(std::string_view bytes) { sink_.write(bytes); }
  // The line feed that ends the text, then the separator line.
  void endRecord();

 private:
  ByteSink& sink_;
};

// What a text file starts with: an editor may put a byte-order mark first.
enum class ByteOrderMark { None, Utf8, Utf16 };

// Buffered reading of a text file (or of a string, for tests) by physical
// lines.  A read error is kept apart from the end of the file.
class TextStream {
 public:
  explicit TextStream(int fd, std::size_t blockSize = 64 * 1024);
  explicit TextStream(std::string text);

  // Up to `count` bytes from the start of the stream, before any line is
  // read, without taking them; fewer where the input is shorter.
  std::string_view peekStart(std::size_t count);

  // Looks at the start of the stream, before any line is read: a UTF-8
  // byte-order mark (EF BB BF) is passed over, as no part of the text; a
  // UTF-16 one (FF FE or FE FF) is only reported.
  ByteOrderMark readByteOrderMark();

  // Appends the next physical line, up to and including its line feed (the
  // last line of a file may have none), to `line`.  False when nothing was
  // left to read, or on a read error.
  bool readPhysicalLine(std::string& line);

  // The errno of a failed read; 0 while every read succeeded.
  int error() const { return error_; }

 private:
  bool fill();
  // Reads until at least `count` bytes are buffered, or the input ends.
  void fillTo(std::size_t count);

  int fd_ = -1;
  std::size_t blockSize_ = 0;
  std::string buffer_;
  std::size_t start_ = 0;
  bool atEnd_ = false;
  int error_ = 0;
};

// Results of readTextLine besides a line's length.
inline constexpr long kLineEndOfFile = -1;
inline constexpr long kLineSeparator = 0;
inline constexpr long kLineReadError = -2;

// Reads the next line into `line`, normalised: a line whose first 27
// characters are tildes is a separator (result 0); otherwise the line ends at
// its first carriage return, line feed or zero byte, the rest of the physical
// line is dropped, and a line feed ends it.  The result is then its length
// with that line feed (1 for an empty line).  -1 at the end of the file, -2
// on a read error.  A physical line of any length is one line.
long readTextLine(TextStream& stream, std::string& line);

// Maps a category name (0-15 characters) to a category index 0-15.
class CategoryResolver {
 public:
  virtual ~CategoryResolver() = default;
  virtual std::uint8_t resolve(std::string_view name) = 0;
};

// Parses records one at a time.
class TextRecordReader {
 public:
  // The next record, or none when the input is used up, when a record is
  // given up (its header lines are followed by a separator or the end of the
  // file), or on a read error (stream.error() then tells).  Once it has
  // given none, nothing more is to be read.  The resolver is called when the
  // category line is read, even for a record that is then given up.
  RecordNodePtr next(TextStream& stream, CategoryResolver& resolver);

 private:
  // Reused from record to record, so that each text is stored at its size.
  std::string line_;
  std::string text_;
};

}  // namespace tx
