#include "importer/import_merger.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <string>
#include <vector>

#include "importer/line_diff.h"

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

// The two records as a person at a terminal sees them before a question.
TEST(ConflictDiff, ShowsWhatYesWouldChange) {
  const std::string sep = "~~~~~~~~~~~~~~~~~~~~~~~~~~~\n";
  const std::string head = "Category = \"Work\"; Secret = 0\nPlaces = 2; StripZeros = 1\n";
  std::string ten;
  for (int i = 1; i <= 10; ++i) ten += "line " + std::to_string(i) + "\n";
  struct Case {
    const char* name;
    std::string existing, incoming;
    bool colour, utf8;
    std::string shown;
  };
  const Case cases[] = {
      {"a changed body line", head + "Invoice\n1\n2\n" + sep, head + "Invoice\n1\n3\n" + sep, false, true,
       "  Category = \"Work\"; Secret = 0\n  Places = 2; StripZeros = 1\n  Invoice\n  1\n- 2\n+ 3\n"},
      {"a changed category", head + "Invoice\n" + sep,
       "Category = \"Home\"; Secret = 0\nPlaces = 2; StripZeros = 1\nInvoice\n" + sep, false, true,
       "- Category = \"Work\"; Secret = 0\n+ Category = \"Home\"; Secret = 0\n  Places = 2; StripZeros = 1\n  Invoice\n"},
      {"a long unchanged run is cut to a count", ten + "old\n" + sep, ten + "new\n" + sep, false, true,
       "  line 1\n  line 2\n  (6 unchanged lines)\n  line 9\n  line 10\n- old\n+ new\n"},
      {"colour", "a\nb\n" + sep, "a\nc\n" + sep, true, true, "  a\n\x1B[31m- b\x1B[0m\n\x1B[32m+ c\x1B[0m\n"},
      {"the handheld's letters in UTF-8, control characters as ?", "caf\xE9 \x80\n" + sep, "caf\xE9 \x1B[2J\n" + sep,
       false, true, "- caf\xC3\xA9 \xE2\x82\xAC\n+ caf\xC3\xA9 ?[2J\n"},
      {"or as the bytes are", "caf\xE9\n" + sep, "cafe\n" + sep, false, false, "- caf\xE9\n+ cafe\n"},
      {"an added line at the end", "a\n" + sep, "a\nb\n" + sep, false, true, "  a\n+ b\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(conflictDiff(c.existing, c.incoming, c.colour, c.utf8), c.shown);
  }
}

// The line diff against every pair of short line lists over two letters: the
// lines kept in both, in order, are a longest common run, and dropping the
// removed lines from the one and the added from the other gives that run.
TEST(LineDiff, KeepsALongestCommonRunOfLines) {
  auto listOf = [](unsigned bits, unsigned length) {
    std::vector<std::string_view> lines;
    for (unsigned i = 0; i < length; ++i) lines.push_back(bits >> i & 1 ? "b" : "a");
    return lines;
  };
  auto longest = [](const std::vector<std::string_view>& a, const std::vector<std::string_view>& b) {
    std::vector<std::vector<int>> l(a.size() + 1, std::vector<int>(b.size() + 1, 0));
    for (std::size_t i = a.size(); i-- > 0;)
      for (std::size_t j = b.size(); j-- > 0;) l[i][j] = a[i] == b[j] ? l[i + 1][j + 1] + 1 : std::max(l[i + 1][j], l[i][j + 1]);
    return l[0][0];
  };
  for (unsigned la = 0; la <= 5; ++la) {
    for (unsigned lb = 0; lb <= 5; ++lb) {
      for (unsigned x = 0; x < (1u << la); ++x) {
        for (unsigned y = 0; y < (1u << lb); ++y) {
          const auto a = listOf(x, la), b = listOf(y, lb);
          std::vector<std::string_view> keptA, keptB;
          int same = 0;
          std::size_t nextA = 0, nextB = 0;
          for (const DiffLine& line : lineDiff(a, b)) {
            if (line.kind == DiffLine::Added) {
              ASSERT_EQ(line.index, nextB++);
              continue;
            }
            ASSERT_EQ(line.index, nextA++);
            if (line.kind == DiffLine::Same) {
              ++same;
              keptB.push_back(b[nextB++]);
              keptA.push_back(a[line.index]);
            }
          }
          ASSERT_EQ(nextA, a.size());
          ASSERT_EQ(nextB, b.size());
          ASSERT_EQ(keptA, keptB);
          ASSERT_EQ(same, longest(a, b)) << x << " " << y;
        }
      }
    }
  }
}

}  // namespace
}  // namespace tx
