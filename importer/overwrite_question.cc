#include "importer/overwrite_question.h"

#include <cerrno>

#include "system/fatal.h"
#include "system/open_file.h"
#include "system/platform.h"

namespace tx {

void AnswerReader::refuseIfSameAs(int textFd) { isTextFile_ = sameFile(fd_, textFd); }

void AnswerReader::discardPending() {
  if (!platform::isConsole(fd_)) return;
  input_.discardBuffered();
  platform::discardConsoleInput(fd_);
}

bool AnswerReader::readAnswer(char& first) {
  const std::string_view start = input_.peek();
  if (start.empty()) {
    if (input_.error() != 0) {
      errno = input_.error();
      fatalSystemError(kErrorReadingAnswer);
    }
    return false;
  }
  first = start.front() == '\n' ? 0 : start.front();
  input_.skipLine();
  return true;
}

std::string overwriteQuestion(std::string_view existingText) {
  std::string question = "Overwrite \"";
  question.append(existingText.substr(0, existingText.find('\n'))).append("\" (Yes/No/All)? ");
  return question;
}

OverwriteAnswer askOverwrite(std::string_view existingText, AnswerReader& answers, std::FILE* out) {
  const std::string question = overwriteQuestion(existingText);
  // Its lines are records, not answers.
  if (answers.isTextFile()) fatalError(kErrorReadingAnswer, kAnswersFromTheText);
  for (;;) {
    // What was typed ahead is dropped before the question appears, not after:
    // once the user can see the question, whatever they type is the answer,
    // however quickly it comes.
    answers.discardPending();
    std::fwrite(question.data(), 1, question.size(), out);
    std::fflush(out);
    char first = 0;
    if (!answers.readAnswer(first)) fatalError(kErrorReadingAnswer, kAnswersEnded);
    if (first >= 'a' && first <= 'z') first = static_cast<char>(first - 'a' + 'A');
    if (first == 'Y') return OverwriteAnswer::Yes;
    if (first == 'N') return OverwriteAnswer::No;
    if (first == 'A') return OverwriteAnswer::All;
  }
}

}  // namespace tx
