// Reads records in the text form (see text_format.h).
#pragma once

#include <cstdint>
#include <string_view>

#include "dbformat/database_format.h"
#include "system/file_io.h"
#include "textformat/text_arena.h"
#include "textformat/text_format.h"

namespace tx {

// What a text file starts with: an editor may put a byte-order mark first.
enum class ByteOrderMark { None, Utf8, Utf16 };

inline constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

// Looks at the start of a text, before any line is read, without moving:
// a UTF-8 byte-order mark (EF BB BF), or UTF-16, by its mark (FF FE or FE FF)
// or without one by its first two characters (ASCII, each with a zero byte).
// The record reader passes over a UTF-8 mark, as no part of the text.
ByteOrderMark byteOrderMarkOf(BufferedReader& text);

// What readTextLine found.  One 0x1A as the very last byte of the input is
// an end-of-file mark, not text; anywhere else it is an ordinary byte.
enum class TextLine { Line, Separator, EndOfFile, ReadError };

// Reads the next line, normalised: a line whose first 27 characters are
// tildes is a separator; otherwise `line` is its content, which ends at its
// first carriage return, line feed or zero byte (the rest of the physical
// line is dropped).  `line` is valid until the next read.  A physical line of
// any length is one line.  `whole`, where given, tells whether the content
// is all of the physical line but its line feed.
TextLine readTextLine(BufferedReader& text, std::string_view& line, bool* whole = nullptr);

// What a category name resolved to: its index 0-15, and whether it was a new
// name that found no free slot, so that it was given index 0.
struct ResolvedCategory {
  std::uint8_t index = 0;
  bool unplaced = false;
};

// Maps a category name (0-15 characters) to a category index 0-15.
class CategoryResolver {
 public:
  virtual ~CategoryResolver() = default;
  virtual ResolvedCategory resolve(std::string_view name) = 0;
};

// Where the reader tells what it read otherwise than its writer may have
// meant, or did not read at all: `line` is the 1-based physical line of the
// text that the words are about.
class TextNotes {
 public:
  virtual ~TextNotes() = default;
  virtual void note(std::uint64_t line, std::string_view words) = 0;
};

// Parses the records of one text, one at a time.
class TextRecordReader {
 public:
  // `notes`, where given, hears of every line the reader kept as text that
  // looks like a header line or a separator, of a category that found no
  // slot or lost bytes, of lines an editor replaced characters in or seems
  // to have saved as UTF-8, of a text with carriage returns but no line
  // feed, and of lines left unread where the reading ends early.
  TextRecordReader(BufferedReader& text, CategoryResolver& resolver, TextArena& texts, TextNotes* notes = nullptr)
      : text_(text), resolver_(resolver), texts_(texts), notes_(notes) {}

  // Reads the next record into `record`, its text stored in `texts`.  False
  // when the input is used up, when a record is given up (its header lines
  // are followed by a separator or the end of the file), or on a read error
  // (error() then tells); nothing is left in `texts` then.  Once it has said
  // false, nothing more is to be read.  The resolver is called when the
  // category line is read, even for a record that is then given up.
  bool next(Record& record);

  // The error that ended the records, 0 where the input ended or the reading
  // stopped at a separator.
  int error() const { return error_; }

 private:
  TextLine readLine(std::string_view& line, bool* whole = nullptr);
  bool readText(std::string_view line, bool whole, Record& record);
  void readCategoryLine(std::string_view line, Record& record);
  bool stop(TextLine result, bool noText);
  void noteOldMacLineEnds();
  void noteHeaderLookalike(std::string_view line);
  void noteTextLines(std::string_view text, std::uint64_t firstLine);
  void note(std::uint64_t line, std::string_view words) {
    if (notes_) notes_->note(line, words);
  }

  BufferedReader& text_;
  CategoryResolver& resolver_;
  TextArena& texts_;
  TextNotes* notes_;
  std::uint64_t line_ = 0;  // physical lines read
  int error_ = 0;
  bool begun_ = false;
  bool utf8_ = false;  // the text began with a UTF-8 byte-order mark
};

}  // namespace tx
