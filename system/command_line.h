// The options every program answers before it looks at its arguments.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace tx {

inline constexpr std::string_view kVersion = TX_VERSION;

// `--help` or `-h` as the only argument prints `usage`, `--version` the
// program's name and version, on standard output.  True when it did: the
// run then ends with status 0.
inline bool answeredAnOption(const std::vector<std::string>& arguments, std::string_view program,
                             std::string_view usage) {
  if (arguments.size() != 2) return false;
  std::string text;
  if (arguments[1] == "--help" || arguments[1] == "-h") {
    text = usage;
  } else if (arguments[1] == "--version") {
    text.append(program).append(" ").append(kVersion).push_back('\n');
  } else {
    return false;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  return true;
}

}  // namespace tx
