#include "importer/import_merger.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tx {
namespace {

// A pseudo-terminal whose far end "types" an answer at the very moment the
// question is written: the tightest timing a quick user can produce.
struct TypingTerminal {
  int master = -1;
  int slave = -1;
  std::string typedOnQuestion;
  std::string shown;
};

ssize_t typeOnWrite(void* cookie, const char* data, std::size_t size) {
  auto* t = static_cast<TypingTerminal*>(cookie);
  t->shown.append(data, size);
  if (t->shown.find("? ") != std::string::npos && !t->typedOnQuestion.empty()) {
    if (::write(t->master, t->typedOnQuestion.data(), t->typedOnQuestion.size()) < 0) std::abort();
    t->typedOnQuestion.clear();
  }
  return static_cast<ssize_t>(size);
}

class AskOverwriteDeath : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(AskOverwriteDeath, AtATerminalTypeAheadIsDroppedAndTheReplyToTheQuestionIsKept) {
  EXPECT_EXIT(
      {
        ::alarm(10);  // a reply lost to the discard would wait for ever
        TypingTerminal t;
        t.master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (t.master < 0 || ::grantpt(t.master) != 0 || ::unlockpt(t.master) != 0) std::exit(10);
        t.slave = ::open(::ptsname(t.master), O_RDWR | O_NOCTTY);
        if (t.slave < 0) std::exit(11);
        // Typed before the question: must not count.
        if (::write(t.master, "n\n", 2) != 2) std::exit(12);
        ::usleep(100 * 1000);
        t.typedOnQuestion = "y\n";
        cookie_io_functions_t io{};
        io.write = typeOnWrite;
        std::FILE* out = ::fopencookie(&t, "w", io);
        AnswerReader answers(t.slave);
        const OverwriteAnswer a = askOverwrite("Title\nbody", answers, out);
        std::fclose(out);
        if (t.shown != "Overwrite \"Title\" (Yes/No/All)? ") std::exit(13);
        std::exit(a == OverwriteAnswer::Yes ? 0 : 14);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tx
