// Runs the real programs in tests: exact standard output, standard error,
// exit status; and small file helpers.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <vector>
#include <string>
#include <vector>

namespace txtest {

struct RunOptions {
  std::optional<std::string> input;         // standard input; none: /dev/null
  std::optional<long> fileSizeLimit;        // RLIMIT_FSIZE in bytes, SIGXFSZ ignored
  std::string workingDirectory;             // empty: the test's own
  std::optional<long> addressSpaceLimit;    // RLIMIT_AS in bytes
  std::optional<long> openFileLimit;        // RLIMIT_NOFILE
  struct User {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;  // supplementary
  };
  std::optional<User> runAs;                // needs root
  std::vector<int> closed;                  // standard descriptors closed when it starts
  // Called in the parent about every millisecond while the program runs,
  // with its pid and what it has printed on standard output so far; it may
  // append to `moreInput`.  Until it returns true, standard input (when
  // `input` is set) stays open after the input is written.
  std::function<bool(pid_t pid, const std::string& out, std::string& moreInput)> watch;
};

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Options that run a program in `dir`, with nothing else set.
template <class Dir>
RunOptions inDirectory(const Dir& dir) {
  RunOptions options;
  options.workingDirectory = dir.path();
  return options;
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args, const RunOptions& options = {});

// A fresh directory, removed with everything in it at the end of its scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);  // throws when it cannot be read
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
std::vector<std::string> listDirectory(const std::string& path);

}  // namespace txtest
