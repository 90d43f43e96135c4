// The merge of a text file into the records of a database, and the question
// asked when a text record conflicts with an existing one.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "importer/record_list.h"
#include "textformat/text_records.h"

namespace tx {

enum class OverwriteAnswer { Yes, No, All };

// Reads answers one line at a time.  From a terminal, input typed before a
// question is discarded; from a pipe or a file the lines are taken in order,
// so that a script can answer several questions.
class AnswerReader {
 public:
  explicit AnswerReader(int fd) : fd_(fd) {}

  // Answers are never read out of the text file being merged: when the
  // input is that file (`textFd`), a question fails instead.
  void refuseIfSameAs(int textFd);
  bool isTextFile() const { return isTextFile_; }

  // Drops input that is waiting but not yet read, where the input is a
  // terminal.
  void discardPending();

  // The first character of the next line (0 for an empty line); the rest of
  // the line is consumed with it.  False when the input ends before a line.
  // A read error ends the process.
  bool readAnswer(char& first);

 private:
  bool fill();

  int fd_;
  std::string buffer_;
  std::size_t start_ = 0;
  bool atEnd_ = false;
  bool isTextFile_ = false;
};

// Asks on `out` whether to overwrite the record whose text is `existingText`
// until a line starting with y, n or a (either case) arrives.  Input that
// ends first, or that is the text file itself, fails the run.
OverwriteAnswer askOverwrite(std::string_view existingText, AnswerReader& answers, std::FILE* out);

class ImportMerger {
 public:
  ImportMerger(RecordList& list, CategoryResolver& resolver, AnswerReader& answers, std::FILE* out)
      : list_(list), resolver_(resolver), answers_(answers), out_(out) {}

  // Merges every record of `text` into the list: a record whose first line
  // matches none is appended; an identical one is dropped; a conflicting one
  // replaces the existing record or is appended beside it, as the user
  // answers.  A read error on the text ends the process.
  void merge(TextStream& text);

 private:
  RecordList& list_;
  CategoryResolver& resolver_;
  AnswerReader& answers_;
  std::FILE* out_;
};

inline constexpr std::string_view kErrorReadingText = "Error reading text file";
inline constexpr std::string_view kErrorReadingAnswer = "Error reading answer";
inline constexpr std::string_view kAnswersFromTheText =
    "standard input is the text file itself; give the answers another way (a pipe, a file or the terminal)";

// Appends, refusing a list that would outgrow what a database can hold.
void appendRecord(RecordList& list, RecordNodePtr node, std::string_view message);

}  // namespace tx
