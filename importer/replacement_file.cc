#include "importer/replacement_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dbformat/exit_signals.h"
#include "dbformat/fatal.h"

namespace tx {
namespace {

constexpr const char* kErrorWritingDatabase = "Error writing database file";
constexpr const char* kErrorReplacingDatabase = "Error replacing database file";

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symbolic links to the file they end at, which need not exist yet.
std::string followLinks(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    char target[PATH_MAX];
    const ssize_t length = ::readlink(current.c_str(), target, sizeof target - 1);
    if (length < 0) failToOpen(path, std::strerror(errno));
    const std::string link(target, static_cast<std::size_t>(length));
    current = link.front() == '/' ? link : directoryOf(current) + "/" + link;
  }
  failToOpen(path, std::strerror(ELOOP));
}

mode_t defaultMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// Six characters of a temporary name, as mkstemp would choose them.
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

}  // namespace

ReplacementFile::ReplacementFile(const std::string& path)
    : path_(path), target_(followLinks(path)), directory_(directoryOf(target_)) {
  struct stat existing {};
  const bool exists = ::stat(target_.c_str(), &existing) == 0;
  if (exists && !S_ISREG(existing.st_mode)) {
    file_ = FileDescriptor(::open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (file_.get() < 0) failToOpen(path_, std::strerror(errno));
    direct_ = true;
    return;
  }
  // An output the user could not write in place is not replaced either.
  if (exists && ::access(target_.c_str(), W_OK) != 0) failToOpen(path_, std::strerror(errno));

  const mode_t mode = exists ? existing.st_mode & 07777 : defaultMode();
  if (!openUnnamed(mode)) openNamed();
  if (::fchmod(file_.get(), mode) != 0) fatalSystemError(kErrorWritingDatabase);
  if (exists && (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid())) {
    // Keeps the old owner where the system lets us; otherwise the file
    // becomes ours, as a file written anew would.
    [[maybe_unused]] const int ignored = ::fchown(file_.get(), existing.st_uid, existing.st_gid);
  }
}

bool ReplacementFile::openUnnamed(unsigned mode) {
#ifdef O_TMPFILE
  // The unnamed file is named later through /proc; without it, it could not be.
  if (::access("/proc/self/fd", X_OK) != 0) return false;
  const int fd = ::open(directory_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode & 0777);
  if (fd >= 0) {
    file_ = FileDescriptor(fd);
    unnamed_ = true;
    return true;
  }
  // A file system or kernel without unnamed files says so in one of these.
  if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) return false;
  failToOpen(path_, std::strerror(errno));
#else
  (void)mode;
  return false;
#endif
}

void ReplacementFile::openNamed() {
  std::string pattern = directory_ + "/." + baseOf(target_) + ".TxImport-XXXXXX";
  // The file exists from the moment it is made: a signal must find it armed.
  exit_signals::Deferred deferred;
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) failToOpen(path_, std::strerror(errno));
  file_ = FileDescriptor(fd);
  temporary_ = pattern;
  exit_signals::unlinkOnSignal(temporary_.c_str());
}

void ReplacementFile::nameUnnamed() {
  const std::string self = "/proc/self/fd/" + std::to_string(file_.get());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = directory_ + "/." + baseOf(target_) + ".TxImport-" + randomSuffix();
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      temporary_ = std::move(name);
      exit_signals::unlinkOnSignal(temporary_.c_str());
      return;
    }
    if (errno != EEXIST) break;
  }
  fatalSystemError(kErrorReplacingDatabase);
}

ReplacementFile::~ReplacementFile() {
  if (committed_) return;
  // Closed before it is removed, as some systems require.
  file_ = FileDescriptor();
  if (!temporary_.empty()) {
    ::unlink(temporary_.c_str());
    exit_signals::unlinkOnSignal(nullptr);
  }
}

void ReplacementFile::commit() {
  if (direct_) {
    file_.close(kErrorWritingDatabase);
    committed_ = true;
    return;
  }
  if (::fsync(file_.get()) != 0) fatalSystemError(kErrorWritingDatabase);
  {
    // From the moment the new file has a name until it has the output's, a
    // signal waits: the output is then either the old file or the new one.
    exit_signals::Deferred deferred;
    if (unnamed_) nameUnnamed();
    file_.close(kErrorWritingDatabase);
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) fatalSystemError(kErrorReplacingDatabase);
    committed_ = true;
    exit_signals::unlinkOnSignal(nullptr);
  }
  // The new name must reach the disk as well.
  const int directory = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    ::fsync(directory);
    ::close(directory);
  }
}

}  // namespace tx
