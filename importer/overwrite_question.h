// The question asked when a text record conflicts with an existing one, and
// the answers to it.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "system/file_io.h"

namespace tx {

enum class OverwriteAnswer { Yes, No, All };

inline constexpr std::string_view kErrorReadingAnswer = "Error reading answer";
inline constexpr std::string_view kAnswersEnded = "standard input ended before an answer was given";
inline constexpr std::string_view kAnswersFromTheText =
    "standard input is the text file itself; give the answers another way (a pipe, a file or the terminal)";

// Reads answers one line at a time.  From a terminal, input typed before a
// question is discarded; from a pipe or a file the lines are taken in order,
// so that a script can answer several questions.
class AnswerReader {
 public:
  explicit AnswerReader(int fd) : fd_(fd), input_(fd, 4096) {}

  // Answers are never read out of the text file being merged: when the
  // input is that file (`textFd`), a question fails instead.
  void refuseIfSameAs(int textFd);
  bool isTextFile() const { return isTextFile_; }

  // Drops input that is waiting but not yet read, where the input is a
  // terminal.
  void discardPending();

  // The first character of the next line (0 for an empty line); the rest of
  // the line is consumed with it, kept nowhere.  False when the input ends
  // before a line; a read error fails the run.
  bool readAnswer(char& first);

 private:
  int fd_;
  BufferedReader input_;
  bool isTextFile_ = false;
};

// The question about the record whose text is `existingText`, which names it
// by its first line: `Overwrite "<first line>" (Yes/No/All)? `.
std::string overwriteQuestion(std::string_view existingText);

inline constexpr std::string_view kAnswerHint = "Answer Yes, No or All; the first letter is enough.\n";

// Asks on `out` whether to overwrite the record whose text is `existingText`
// until a line starting with y, n or a (either case) arrives; with `hint`
// (a person at a terminal), an answer that counts for nothing gets
// kAnswerHint before the question again.  Input that ends first, or that is
// the text file itself, fails the run.
OverwriteAnswer askOverwrite(std::string_view existingText, AnswerReader& answers, std::FILE* out,
                             bool hint = false);

// What a person at a terminal is shown before a question: the existing
// record's block and the text's, as the export writes them (`existingBlock`,
// `incomingBlock`, the separator left out), as a line diff: unchanged lines
// once ("  "), a run of more than six of them cut to its first and last two
// around a count, removed ones "- " and added ones "+ " (in red and green
// where `colour`).  Characters are shown in UTF-8 (`utf8`) or as the bytes
// are, a control character as "?".
std::string conflictDiff(std::string_view existingBlock, std::string_view incomingBlock, bool colour, bool utf8);

}  // namespace tx
