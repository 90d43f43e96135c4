// The edge of each program: the options it answers before it looks at its
// arguments, the usage, and what is set up before its work starts.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "system/exit_signals.h"
#include "system/fatal.h"
#include "system/platform.h"

namespace tx {

inline constexpr std::string_view kVersion = TX_VERSION;

// `--help` or `-h` as the only argument prints `usage`, a line for each
// option and where the manual is; `--version` the program's name and
// version; on standard output.  True when it did: the run then ends with
// status 0.
inline bool answeredAnOption(const std::vector<std::string>& arguments, std::string_view program,
                             std::string_view usage) {
  if (arguments.size() != 2) return false;
  std::string text;
  if (arguments[1] == "--help" || arguments[1] == "-h") {
    text = usage;
    text.append("\n--help     prints this text\n--version  prints the program's name and version\n");
    text.append("The manual: man ").append(program).append(" (on Windows, ").append(program);
    text.append(".txt beside the program)\n");
  } else if (arguments[1] == "--version") {
    text.append(program).append(" ").append(kVersion).push_back('\n');
  } else {
    return false;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  return true;
}

// Runs a program: the options above; `usage` on standard output and status
// 1 where the argument count is not right; otherwise, once closed standard
// streams are opened on the null device, a file-size limit made a write
// error and the exit signals' handler installed, `work`, whose failure is
// printed and gives status 1.
template <class Work>
int runProgram(const std::vector<std::string>& arguments, std::string_view program, std::string_view usage,
               bool countIsRight, Work&& work) {
  if (answeredAnOption(arguments, program, usage)) return 0;
  if (!countIsRight) {
    std::fwrite(usage.data(), 1, usage.size(), stdout);
    return 1;
  }
  platform::openMissingStandardStreams();
  platform::reportFileSizeLimits();
  exit_signals::install();
  return runReportingFailures(std::forward<Work>(work));
}

}  // namespace tx
