#include "importer/replacement_file.h"

#include <acl/libacl.h>
#include <attr/libattr.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "dbformat/exit_signals.h"
#include "dbformat/fatal.h"

namespace tx {
namespace {

constexpr std::string_view kErrorReadingDatabase = "Error reading database file";
constexpr std::string_view kErrorWritingDatabase = "Error writing database file";
constexpr std::string_view kErrorReplacingDatabase = "Error replacing database file";
constexpr std::string_view kTemporaryTag = ".TxImport-";
constexpr int kUnsupported = -1;

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

// The temporary name's stem: ".<name>.TxImport-", or ".TxImport-" alone
// where the name is too long to take the rest.
std::string temporaryStem(const std::string& directory, const std::string& base) {
  const long nameMax = ::pathconf(directory.c_str(), _PC_NAME_MAX);
  const std::size_t limit = nameMax > 0 ? static_cast<std::size_t>(nameMax) : 255;
  const std::size_t full = 1 + base.size() + kTemporaryTag.size() + 6;
  return directory + "/" + (full <= limit ? "." + base : std::string()) + std::string(kTemporaryTag);
}

// The reason a new file cannot be made for `path`: for a directory that
// exists but takes no new file, that directory is named.
std::string noNewFile(int error, const std::string& directory) {
  std::string reason = std::strerror(error);
  if (error != ENOENT && error != ENOTDIR) reason += " (no file can be created in \"" + directory + "\")";
  return reason;
}

bool sameVersion(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

bool preadAll(int fd, char* bytes, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    const ssize_t got = ::pread(fd, bytes + done, size - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

// Writes the old bytes back and cuts the file to its old size.  Errors are
// not reported: the failure that brought us here has been.
void putBack(int fd, const std::string& old) noexcept {
  for (std::size_t done = 0; done < old.size();) {
    const ssize_t wrote = ::pwrite(fd, old.data() + done, old.size() - done, static_cast<off_t>(done));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) break;
    done += static_cast<std::size_t>(wrote);
  }
  [[maybe_unused]] const int truncated = ::ftruncate(fd, static_cast<off_t>(old.size()));
  ::fsync(fd);
}

}  // namespace

ReplacementFile::ReplacementFile(const std::string& path, std::optional<struct stat> oldDatabase)
    : path_(path), target_(followLinks(path)), directory_(directoryOf(target_)), oldDatabase_(oldDatabase) {
  struct stat info {};
  if (::stat(target_.c_str(), &info) == 0) {
    existing_ = info;
  } else if (errno != ENOENT) {
    failToOpen(path_, std::strerror(errno));
  }
  if (existing_ && S_ISDIR(existing_->st_mode)) failToOpen(path_, std::strerror(EISDIR));
  // An output the user could not write in place is not replaced either.
  if (existing_ && ::access(target_.c_str(), W_OK) != 0) failToOpen(path_, std::strerror(errno));
  if (existing_ && !S_ISREG(existing_->st_mode)) {
    mode_ = Mode::Direct;
    return;
  }
  // Another name would keep seeing the old database.
  if (existing_ && existing_->st_nlink > 1) {
    mode_ = Mode::InPlace;
    return;
  }
  if (openUnnamed()) {
    if (!existing_ || keepIdentity()) return;
    file_ = FileDescriptor();
    unnamed_ = false;
    mode_ = Mode::InPlace;
    return;
  }
  const int error = errno;
  if (existing_) {
    mode_ = Mode::InPlace;
    return;
  }
  failToOpen(path_, noNewFile(error, directory_));
}

// True with the unnamed file open; false with errno telling why not, where
// the directory does not take one (for a system without unnamed files, as
// the named file would not be taken either).
bool ReplacementFile::openUnnamed() {
  int error = kUnsupported;
#ifdef O_TMPFILE
  // The unnamed file is named later through /proc; without it, it could not be.
  if (::access("/proc/self/fd", X_OK) == 0) {
    const int fd = ::open(directory_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) {
      file_ = FileDescriptor(fd);
      unnamed_ = true;
      return true;
    }
    // A file system or kernel without unnamed files says so in one of these.
    error = errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL ? kUnsupported : errno;
  }
#endif
  // The named file is made only when the database is written; the directory
  // must take it.
  if (error == kUnsupported) {
    if (::access(directory_.c_str(), W_OK | X_OK) == 0) return false;
    error = errno;
  }
  errno = error;
  return false;
}

void ReplacementFile::openNamed() {
  std::string pattern = temporaryStem(directory_, baseOf(target_)) + "XXXXXX";
  // The file exists from the moment it is made: a signal must find it armed.
  exit_signals::Deferred deferred;
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) failToOpen(path_, noNewFile(errno, directory_));
  file_ = FileDescriptor(fd);
  temporary_ = pattern;
  exit_signals::unlinkOnSignal(temporary_.c_str());
}

void ReplacementFile::nameUnnamed() {
  const std::string self = "/proc/self/fd/" + std::to_string(file_.get());
  const std::string stem = temporaryStem(directory_, baseOf(target_));
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = stem + randomSuffix();
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      temporary_ = std::move(name);
      exit_signals::unlinkOnSignal(temporary_.c_str());
      return;
    }
    if (errno != EEXIST) break;
  }
  fatalSystemError(kErrorReplacingDatabase);
}

// Gives the new file what the old one had besides its bytes: owner, group,
// permission bits, ACL, extended attributes.  False where any of it cannot
// be set.
bool ReplacementFile::keepIdentity() {
  const FileDescriptor source(::open(target_.c_str(), O_RDONLY | O_CLOEXEC));
  if (source.get() < 0) return false;
  const struct stat& old = *existing_;
  // Where only the group differs from ours, it alone is set.
  if ((old.st_uid != ::geteuid() || old.st_gid != ::getegid()) &&
      ::fchown(file_.get(), old.st_uid, old.st_gid) != 0) {
    return false;
  }
  // The permission bits and the ACL, after the owner, which clears set-id bits.
  if (::perm_copy_fd(target_.c_str(), source.get(), "the new database", file_.get(), nullptr) != 0) return false;
  return ::attr_copy_fd(target_.c_str(), source.get(), "the new database", file_.get(), nullptr, nullptr) == 0;
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

void ReplacementFile::checkUnchanged(const struct stat& now) const {
  if (oldDatabase_ && !sameVersion(*oldDatabase_, now)) {
    fatalError(kErrorReplacingDatabase, "\"" + path_ +
                                            "\" was changed by another program while this import ran, so nothing "
                                            "was written; run the import again");
  }
}

void ReplacementFile::write(std::uint64_t size, const std::function<void(int fd)>& writeDatabase) {
  switch (mode_) {
    case Mode::Direct:
      file_ = FileDescriptor(::open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
      if (file_.get() < 0) failToOpen(path_, std::strerror(errno));
      writeDatabase(file_.get());
      file_.close(kErrorWritingDatabase);
      committed_ = true;
      return;
    case Mode::InPlace:
      writeInPlace(size, writeDatabase);
      return;
    case Mode::Replace:
      replace(size, writeDatabase);
      return;
  }
}

void ReplacementFile::replace(std::uint64_t size, const std::function<void(int fd)>& writeDatabase) {
  if (file_.get() < 0) {
    openNamed();
    if (existing_ ? !keepIdentity() : ::fchmod(file_.get(), defaultMode()) != 0) {
      file_ = FileDescriptor();
      ::unlink(temporary_.c_str());
      exit_signals::unlinkOnSignal(nullptr);
      temporary_.clear();
      if (!existing_) fatalSystemError(kErrorWritingDatabase);
      mode_ = Mode::InPlace;
      writeInPlace(size, writeDatabase);
      return;
    }
  }
  writeDatabase(file_.get());
  if (::fsync(file_.get()) != 0) fatalSystemError(kErrorWritingDatabase);
  {
    // From the moment the new file has a name until it has the output's, a
    // signal waits: the output is then either the old file or the new one.
    exit_signals::Deferred deferred;
    if (unnamed_) nameUnnamed();
    file_.close(kErrorWritingDatabase);
    if (oldDatabase_) {
      struct stat now {};
      if (::stat(target_.c_str(), &now) != 0) now = {};
      checkUnchanged(now);
    }
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

void ReplacementFile::writeInPlace(std::uint64_t size, const std::function<void(int fd)>& writeDatabase) {
  file_ = FileDescriptor(::open(target_.c_str(), O_RDWR | O_CLOEXEC));
  if (file_.get() < 0) failToOpen(path_, std::strerror(errno));
  const int fd = file_.get();
  struct stat now {};
  if (::fstat(fd, &now) != 0) fatalSystemError(kErrorReadingDatabase);
  checkUnchanged(now);
  // The old bytes, to put back if the new ones cannot all be written.
  std::string old(static_cast<std::size_t>(now.st_size), '\0');
  if (!preadAll(fd, old.data(), old.size())) fatalSystemError(kErrorReadingDatabase);
  exit_signals::restoreOnSignal(fd, old.size(), old.data(), old.size());
  try {
    // Room for the new bytes first, where the file system can promise it.
    if (size > old.size()) {
      const int error = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
      if (error != 0 && error != EOPNOTSUPP && error != EINVAL) {
        errno = error;
        fatalSystemError(kErrorWritingDatabase);
      }
    }
    writeDatabase(fd);
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end < 0 || ::ftruncate(fd, end) != 0 || ::fsync(fd) != 0) fatalSystemError(kErrorWritingDatabase);
  } catch (...) {
    putBack(fd, old);
    exit_signals::restoreOnSignal(-1, 0);
    throw;
  }
  exit_signals::restoreOnSignal(-1, 0);
  committed_ = true;
  file_.close(kErrorWritingDatabase);
}

}  // namespace tx
