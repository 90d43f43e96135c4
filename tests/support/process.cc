#include "support/process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <grp.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace txtest {

RunResult runProgram(const std::string& program, const std::vector<std::string>& args, const RunOptions& options) {
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (options.input) {
      dup2(in[0], 0);
    } else {
      const int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
    }
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    signal(SIGPIPE, SIG_DFL);  // the parent ignores it
    for (int fd : options.closed) close(fd);
    // A program ended by a signal that dumps core leaves no core file here.
    struct rlimit noCore {};
    setrlimit(RLIMIT_CORE, &noCore);
    if (options.fileSizeLimit) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit {};
      limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(*options.fileSizeLimit);
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.openFileLimit) {
      struct rlimit limit {};
      limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(*options.openFileLimit);
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (options.addressSpaceLimit) {
      struct rlimit limit {};
      limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(*options.addressSpaceLimit);
      setrlimit(RLIMIT_AS, &limit);
    }
    if (options.runAs && (setgroups(options.runAs->groups.size(), options.runAs->groups.data()) != 0 ||
                          setgid(options.runAs->gid) != 0 || setuid(options.runAs->uid) != 0)) {
      _exit(125);
    }
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);
  std::string input = options.input.value_or("");
  std::size_t written = 0;
  bool watching = static_cast<bool>(options.watch);
  if (input.empty() && !watching) {
    close(in[1]);
    in[1] = -1;
  }
  RunResult result;
  int open = 2;
  while (open > 0 || (in[1] >= 0 && written < input.size())) {
    if (watching) {
      std::string more;
      watching = !options.watch(pid, result.out, more);
      input += more;
      if (!watching && in[1] >= 0 && written == input.size()) {
        close(in[1]);
        in[1] = -1;
      }
    }
    const bool pending = in[1] >= 0 && written < input.size();
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {pending ? in[1] : -1, POLLOUT, 0}};
    if (poll(fds, 3, watching ? 1 : -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("poll failed");
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[65536];
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(got));
      } else {
        close(fds[i].fd);
        (i == 0 ? out[0] : err[0]) = -1;
        --open;
      }
    }
    if (in[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t done = write(in[1], input.data() + written, input.size() - written);
      if (done > 0) written += static_cast<std::size_t>(done);
      if (done < 0 || (written == input.size() && !watching)) {
        close(in[1]);
        in[1] = -1;
      }
    }
  }
  if (in[1] >= 0) close(in[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "txtest-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Undo chmod games of the tests before removing.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool fileExists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> listDirectory(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace txtest
