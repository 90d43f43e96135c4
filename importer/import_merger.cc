#include "importer/import_merger.h"

#include <cerrno>
#include <termios.h>
#include <unistd.h>

#include "dbformat/fatal.h"
#include "dbformat/open_file.h"

namespace tx {

void appendRecord(RecordList& list, RecordNodePtr node, std::string_view message) {
  if (list.size() >= kMaxRecords) fatalError(message, kTooManyRecords);
  list.append(std::move(node));
}

void AnswerReader::refuseIfSameAs(int textFd) { isTextFile_ = sameFile(fd_, textFd); }

void AnswerReader::discardPending() {
  if (!::isatty(fd_)) return;
  buffer_.clear();
  start_ = 0;
  ::tcflush(fd_, TCIFLUSH);
}

bool AnswerReader::fill() {
  if (atEnd_) return false;
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd_, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) fatalSystemError(kErrorReadingAnswer);
    if (got == 0) {
      atEnd_ = true;
      return false;
    }
    buffer_.erase(0, start_);
    start_ = 0;
    buffer_.append(chunk, static_cast<std::size_t>(got));
    return true;
  }
}

bool AnswerReader::readAnswer(char& first) {
  bool any = false;
  first = 0;
  for (;;) {
    if (start_ == buffer_.size() && !fill()) return any;
    const std::size_t feed = buffer_.find('\n', start_);
    const std::size_t end = feed == std::string::npos ? buffer_.size() : feed;
    if (!any && end > start_) first = buffer_[start_];
    any = true;
    start_ = feed == std::string::npos ? end : feed + 1;
    if (feed != std::string::npos) return true;
  }
}

OverwriteAnswer askOverwrite(std::string_view existingText, AnswerReader& answers, std::FILE* out) {
  const std::string_view firstLine = existingText.substr(0, existingText.find('\n'));
  // Its lines are records, not answers.
  if (answers.isTextFile()) fatalError(kErrorReadingAnswer, kAnswersFromTheText);
  for (;;) {
    // What was typed ahead is dropped before the question appears, not after:
    // once the user can see the question, whatever they type is the answer,
    // however quickly it comes.
    answers.discardPending();
    std::fputs("Overwrite \"", out);
    std::fwrite(firstLine.data(), 1, firstLine.size(), out);
    std::fputs("\" (Yes/No/All)? ", out);
    std::fflush(out);
    char first;
    if (!answers.readAnswer(first)) {
      fatalError(kErrorReadingAnswer, "standard input ended before an answer was given");
    }
    if (first >= 'a' && first <= 'z') first = static_cast<char>(first - 'a' + 'A');
    if (first == 'Y') return OverwriteAnswer::Yes;
    if (first == 'N') return OverwriteAnswer::No;
    if (first == 'A') return OverwriteAnswer::All;
  }
}

namespace {

bool sameRecord(const RecordNode& a, const RecordNode& b) {
  return a.text == b.text && a.category == b.category && a.secret == b.secret && a.places == b.places &&
         a.stripZeros == b.stripZeros;
}

}  // namespace

void ImportMerger::merge(TextStream& text) {
  constexpr std::string_view kErrorMerging = "Error merging text file";
  bool all = false;
  TextRecordReader reader;
  while (RecordNodePtr record = reader.next(text, resolver_)) {
    RecordNode* existing = list_.findByFirstLine(record->text);
    if (!existing) {
      appendRecord(list_, std::move(record), kErrorMerging);
      continue;
    }
    if (sameRecord(*existing, *record)) continue;
    OverwriteAnswer answer = all ? OverwriteAnswer::Yes : askOverwrite(existing->text, answers_, out_);
    if (answer == OverwriteAnswer::All) {
      all = true;
      answer = OverwriteAnswer::Yes;
    }
    if (answer == OverwriteAnswer::Yes) {
      list_.replace(existing, std::move(record));
    } else {
      appendRecord(list_, std::move(record), kErrorMerging);
    }
  }
  // The end of the records must be the end of the file, not a read error.
  if (text.error() != 0) {
    errno = text.error();
    fatalSystemError(kErrorReadingText);
  }
}

}  // namespace tx
