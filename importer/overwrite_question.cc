#include "importer/overwrite_question.h"

#include <cerrno>
#include <cstdint>
#include <vector>

#include "importer/line_diff.h"
#include "textformat/handheld_charset.h"

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
    if (input_.error() != 0) fatalSystemError(kErrorReadingAnswer, input_.error());
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

OverwriteAnswer askOverwrite(std::string_view existingText, AnswerReader& answers, std::FILE* out, bool hint) {
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
    if (hint) std::fwrite(kAnswerHint.data(), 1, kAnswerHint.size(), out);
  }
}

namespace {

// A line as the terminal shows it.
std::string shown(std::string_view line, bool utf8) {
  std::string out;
  for (const char byte : line) {
    const char32_t c = handheldCharacter(static_cast<std::uint8_t>(byte));
    if ((c < 0x20 && c != '\t') || (c >= 0x7F && c < 0xA0)) {
      out.push_back('?');
    } else if (!utf8 || c < 0x80) {
      out.push_back(byte);
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | c >> 6));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | c >> 12));
      out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::vector<std::string_view> blockLines(std::string_view block) {
  std::vector<std::string_view> lines = splitLines(block);
  if (!lines.empty() && lines.back().substr(0, 3) == "~~~") lines.pop_back();
  return lines;
}

}  // namespace

std::string conflictDiff(std::string_view existingBlock, std::string_view incomingBlock, bool colour, bool utf8) {
  const std::vector<std::string_view> before = blockLines(existingBlock), after = blockLines(incomingBlock);
  const std::vector<DiffLine> diff = lineDiff(before, after);
  std::string out;
  auto put = [&](const char* mark, const char* on, std::string_view line) {
    if (colour && on) out.append(on);
    out.append(mark).append(shown(line, utf8));
    if (colour && on) out.append("\x1B[0m");
    out.push_back('\n');
  };
  for (std::size_t at = 0; at < diff.size();) {
    std::size_t run = at;
    while (run < diff.size() && diff[run].kind == DiffLine::Same) ++run;
    const std::size_t same = run - at;
    for (std::size_t k = 0; k < same; ++k) {
      if (same > 6 && k == 2) {
        out.append("  (" + std::to_string(same - 4) + " unchanged lines)\n");
        k = same - 3;
        continue;
      }
      put("  ", nullptr, before[diff[at + k].index]);
    }
    at = run;
    for (; at < diff.size() && diff[at].kind != DiffLine::Same; ++at) {
      if (diff[at].kind == DiffLine::Removed) {
        put("- ", "\x1B[31m", before[diff[at].index]);
      } else {
        put("+ ", "\x1B[32m", after[diff[at].index]);
      }
    }
  }
  return out;
}

}  // namespace tx
