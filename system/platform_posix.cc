// The platform layer on POSIX systems (Linux first; macOS where noted).
#include <acl/libacl.h>
#include <dirent.h>
#include <attr/libattr.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "system/large_memory.h"
#include "system/platform.h"
#include "system/posix_common.h"

namespace tx::platform {

std::string errorText(int error) { return std::strerror(error); }

std::vector<std::string> arguments(int argc, char** argv) { return {argv, argv + argc}; }

void reportFileSizeLimits() { std::signal(SIGXFSZ, SIG_IGN); }

void openMissingStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is the one just found closed.
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) ::close(null);
  }
}

int openForReading(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }

int openForWriting(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

int openExisting(const std::string& path, bool truncate, bool read) {
  return ::open(path.c_str(), (read ? O_RDWR : O_WRONLY) | (truncate ? O_TRUNC : 0) | O_CLOEXEC);
}

void startWriteBack(int fd, std::uint64_t offset, std::uint64_t length) noexcept {
#ifdef SYNC_FILE_RANGE_WRITE
  ::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
#else
  (void)fd;
  (void)offset;
  (void)length;
#endif
}

bool writeAroundCache(int fd, bool around) noexcept {
#ifdef O_DIRECT
  // Only a regular file: on a pipe the flag means something else.
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  const int wanted = around ? flags | O_DIRECT : flags & ~O_DIRECT;
  if (wanted != flags && ::fcntl(fd, F_SETFL, wanted) != 0) return !around && (flags & O_DIRECT) != 0;
  return around;
#else
  (void)fd;
  (void)around;
  return false;
#endif
}

int flushToDisk(int fd) {
#ifdef F_FULLFSYNC
  // fsync alone does not reach the disk on macOS.
  if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
  return ::fsync(fd);
}

void sleepMilliseconds(int milliseconds) {
  struct timespec wait {};
  wait.tv_sec = milliseconds / 1000;
  wait.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

int reserveRoom(int fd, std::uint64_t size) {
#ifdef __linux__
  const int error = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
  return error == EOPNOTSUPP || error == EINVAL ? 0 : error;
#else
  (void)fd;
  (void)size;
  return 0;
#endif
}

bool canWrite(const std::string& path) {
  struct stat info {};
  // A device or a pipe is asked without opening it: opening may act on it.
  if (::stat(path.c_str(), &info) != 0) return false;
  if (!S_ISREG(info.st_mode)) return ::access(path.c_str(), W_OK) == 0;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

namespace {

// Open file description locks: held by the open file, so that two opens in
// one process are two holders, as two processes are.
int lockRange(int fd, LockByte which, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = (off_t{1} << 62) + static_cast<off_t>(which);
  lock.l_len = 1;
  if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) return 0;
  return errno == EAGAIN || errno == EACCES ? EWOULDBLOCK : errno;
}

}  // namespace

int lockByte(int fd, LockByte which, bool exclusive) { return lockRange(fd, which, exclusive ? F_WRLCK : F_RDLCK); }

bool isConsole(int fd) { return ::isatty(fd) != 0; }

void discardConsoleInput(int fd) { ::tcflush(fd, TCIFLUSH); }

namespace {

constexpr std::size_t kPage = 4096;

std::size_t mappedSizeFor(std::size_t size) { return (size + kPage - 1) / kPage * kPage; }

}  // namespace

// A block is mapped a huge page larger than it needs, so that it can start
// at a huge-page boundary; the slack on either side is given back at once,
// so the block is unmapped from its start by its size alone.  Its whole
// huge pages are asked for as such; the rest of it stays in small pages, so
// that no more memory is taken than the block needs.
void* mapPages(std::size_t size) {
  const std::size_t kept = mappedSizeFor(size);
  void* mapped = ::mmap(nullptr, kept + kHugePageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(mapped);
  const std::size_t before = (kHugePageSize - address % kHugePageSize) % kHugePageSize;
  char* start = static_cast<char*>(mapped) + before;
  if (before > 0) ::munmap(mapped, before);
  if (kHugePageSize - before > 0) ::munmap(start + kept, kHugePageSize - before);
#ifdef MADV_HUGEPAGE
  const std::size_t huge = kept / kHugePageSize * kHugePageSize;
  if (huge > 0) ::madvise(start, huge, MADV_HUGEPAGE);
#endif
  return start;
}

void unmapPages(void* memory, std::size_t size) noexcept { ::munmap(memory, mappedSizeFor(size)); }

// Every page is mapped at once, which costs far less than a fault for each
// (a writable private mapping would have every page copied).
void* mapFile(int fd, std::size_t size) {
  if (size == 0) return nullptr;
  int flags = MAP_PRIVATE;
#ifdef MAP_POPULATE
  flags |= MAP_POPULATE;
#endif
  void* mapped = ::mmap(nullptr, size, PROT_READ, flags, fd, 0);
  return mapped == MAP_FAILED ? nullptr : mapped;
}

void unmapFile(void* bytes, std::size_t size) noexcept { ::munmap(bytes, size); }

namespace {

// Every signal that a program can catch and whose default action ends it.
constexpr int kExitSignals[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGUSR1, SIGSEGV, SIGUSR2, SIGPIPE,
    SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};
void (*exitHandler)() = nullptr;
const char* (*readFaultHandler)(const void*) = nullptr;

template <class Each>
void forEachExitSignal(Each each) {
  for (int signal : kExitSignals) each(signal);
#ifdef SIGRTMIN
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) each(signal);
#endif
}

sigset_t exitSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  forEachExitSignal([&set](int signal) { sigaddset(&set, signal); });
  return set;
}

extern "C" void onExitSignal(int signal, siginfo_t* info, void*) {
  // A byte of a file the run mapped that could not be read ends the run as
  // a failure to read it.  Only the kernel's own SIGBUS names an address (a
  // SIGBUS sent by a program is one from outside).
  const bool fault = signal == SIGBUS && info && info->si_code > 0 && readFaultHandler;
  if (const char* failure = fault ? readFaultHandler(info->si_addr) : nullptr) {
    for (std::size_t at = 0, size = std::strlen(failure); at < size;) {
      const ssize_t wrote = ::write(2, failure + at, size - at);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) break;
      at += static_cast<std::size_t>(wrote);
    }
    if (exitHandler) exitHandler();
    ::_exit(1);
  }
  if (exitHandler) exitHandler();
  // SA_RESETHAND has restored the default action; the signal stays blocked
  // until the handler returns, and then ends the process.
  ::raise(signal);
}

}  // namespace

namespace {

struct Started {
  pthread_t thread{};
  void (*run)(void*);
  void* argument;
};

extern "C" void* runStarted(void* started) {
  auto* thread = static_cast<Started*>(started);
  thread->run(thread->argument);
  return nullptr;
}

}  // namespace

bool startThread(void (*run)(void*), void* argument, void*& thread) noexcept {
  auto* started = new (std::nothrow) Started{{}, run, argument};
  if (!started) return false;
  // The signals from outside stay with the thread that handles them and
  // holds them back where it must; a fault is the faulting thread's own.
  sigset_t outside = exitSignalSet();
  for (int fault : {SIGBUS, SIGSEGV, SIGILL, SIGFPE, SIGTRAP, SIGSYS}) sigdelset(&outside, fault);
  sigset_t before;
  ::pthread_sigmask(SIG_BLOCK, &outside, &before);
  const int error = ::pthread_create(&started->thread, nullptr, runStarted, started);
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (error != 0) {
    delete started;
    return false;
  }
  thread = started;
  return true;
}

void joinThread(void* thread) noexcept {
  auto* started = static_cast<Started*>(thread);
  ::pthread_join(started->thread, nullptr);
  delete started;
}

void onExitSignals(void (*handler)()) {
  exitHandler = handler;
  struct sigaction action {};
  action.sa_sigaction = onExitSignal;
  action.sa_flags = static_cast<int>(SA_RESETHAND | SA_SIGINFO);
  action.sa_mask = exitSignalSet();
  forEachExitSignal([&action](int signal) {
    struct sigaction old {};
    // A signal the caller chose to ignore stays ignored.
    if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) return;
    ::sigaction(signal, &action, nullptr);
  });
}

void onReadFault(const char* (*handler)(const void* address)) { readFaultHandler = handler; }

void holdExitSignals() noexcept {
  const sigset_t set = exitSignalSet();
  ::sigprocmask(SIG_BLOCK, &set, nullptr);
}

void releaseExitSignals() noexcept {
  const sigset_t set = exitSignalSet();
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void removeForSignal(const char* path) noexcept { ::unlink(path); }

std::string joinPath(const std::string& directory, const std::string& name) {
  return directory == "/" ? "/" + name : directory + "/" + name;
}

bool lookUpOutput(const std::string& path, OutputLookup& output) {
  output = OutputLookup{};
#ifdef O_PATH
  int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
#else
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
#endif
  if (fd < 0) {
    if (errno != ENOENT) return false;
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
      output.target = path;
      return true;
    }
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    output.made = true;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return false;
  }
  output.exists = true;
  output.status = fromStat(info);
  // The kernel's own name for the file it reached; without it, the path as
  // given, which a replacement then puts a file at in place of a link.
  output.target = path;
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  char target[PATH_MAX];
  const ssize_t length = ::readlink(self.c_str(), target, sizeof target);
  if (length > 0 && length < static_cast<ssize_t>(sizeof target) && target[0] == '/') {
    output.target.assign(target, static_cast<std::size_t>(length));
  }
  ::close(fd);
  return true;
}

int createUnnamed(const std::string& directory) {
#ifdef O_TMPFILE
  // The unnamed file is named later through /proc; without it, it could not be.
  if (::access("/proc/self/fd", X_OK) == 0) {
    const int fd = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    // A file system or kernel without unnamed files says so in one of these.
    if (fd < 0 && (errno == EISDIR || errno == EINVAL)) errno = EOPNOTSUPP;
    return fd;
  }
#else
  (void)directory;
#endif
  errno = EOPNOTSUPP;
  return -1;
}

int nameUnnamed(int fd, const std::string& name) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
}

int createTemporary(std::string& pattern) { return ::mkostemp(pattern.data(), O_CLOEXEC); }

bool directoryTakesFiles(const std::string& directory) { return ::access(directory.c_str(), W_OK | X_OK) == 0; }

std::size_t longestName(const std::string& directory) {
  const long longest = ::pathconf(directory.c_str(), _PC_NAME_MAX);
  return longest > 0 ? static_cast<std::size_t>(longest) : 255;
}

std::string randomSuffix() {
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[6] = {};
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    const unsigned long seed = static_cast<unsigned long>(::getpid()) ^ static_cast<unsigned long>(std::rand());
    for (std::size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(seed >> (i * 5));
  }
  std::string suffix;
  for (unsigned char byte : bytes) suffix.push_back(kLetters[byte % (sizeof kLetters - 1)]);
  return suffix;
}

bool copyIdentity(const std::string& path, int from, int to) {
  struct stat old {};
  if (::fstat(from, &old) != 0) return false;
  // The owner and the group where the owner differs from ours; where only
  // the group does, the group alone, which a member of it may set.  An owner
  // that cannot be set fails the whole: the caller then writes into the old
  // file, so a group set on this one would be thrown away with it.
  const bool ownerDiffers = old.st_uid != ::geteuid();
  const bool groupDiffers = old.st_gid != ::getegid();
  if (ownerDiffers && ::fchown(to, old.st_uid, old.st_gid) != 0) return false;
  if (!ownerDiffers && groupDiffers && ::fchown(to, static_cast<uid_t>(-1), old.st_gid) != 0) return false;
  // The permission bits and the ACL, after the owner, which clears set-id bits.
  if (::perm_copy_fd(path.c_str(), from, "the new database", to, nullptr) != 0) return false;
  return ::attr_copy_fd(path.c_str(), from, "the new database", to, nullptr, nullptr) == 0;
}

int setDefaultPermissions(int fd) {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return ::fchmod(fd, 0666 & ~mask);
}

int replaceFile(const std::string& from, const std::string& to) { return ::rename(from.c_str(), to.c_str()); }

int createNew(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

int renameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // A file system without it: a second name, which is never made over
  // another, then the first one removed.
  if (::link(from.c_str(), to.c_str()) != 0) return -1;
  ::unlink(from.c_str());
  return 0;
}

int openOwnForReading(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

std::string stateDirectory(bool make) {
  std::string base;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/') {
    base = state;
  } else if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
    base = std::string(home) + "/.local/state";
  } else {
    return {};
  }
  const std::string folder = base + "/txtools";
  if (make) {
    // Each level made where missing, the last one for this user alone.
    for (std::size_t slash = 1; (slash = base.find('/', slash)) != std::string::npos; ++slash) {
      ::mkdir(base.substr(0, slash).c_str(), 0755);
    }
    ::mkdir(base.c_str(), 0700);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
  }
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) return {};
  return folder;
}

std::string absolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char* here = ::getcwd(nullptr, 0);
  if (!here) return path;
  std::string joined = joinPath(here, path);
  std::free(here);
  return joined;
}

std::uint32_t userId() { return static_cast<std::uint32_t>(::geteuid()); }

namespace {

bool isTemporarySuffix(const char* suffix) {
  for (int i = 0; i < 6; ++i) {
    const char c = suffix[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  }
  return suffix[6] == '\0';
}

}  // namespace

void removeStaleTemporaries(const std::string& directory, const std::string& prefix, std::int64_t before) {
  DIR* entries = ::opendir(directory.c_str());
  if (!entries) return;
  while (const dirent* entry = ::readdir(entries)) {
    if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0) continue;
    if (std::strlen(entry->d_name) != prefix.size() + 6 || !isTemporarySuffix(entry->d_name + prefix.size())) continue;
    struct stat info {};
    // Not through a link, and only a regular file of this user's.
    if (::fstatat(::dirfd(entries), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid() || info.st_mtim.tv_sec >= before) continue;
    ::unlinkat(::dirfd(entries), entry->d_name, 0);
  }
  ::closedir(entries);
}

int flushDirectory(const std::string& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;
  // A file system that cannot flush a directory says so with EINVAL.
  const int result = ::fsync(fd) == 0 || errno == EINVAL ? 0 : -1;
  const int error = errno;
  ::close(fd);
  errno = error;
  return result;
}

}  // namespace tx::platform
