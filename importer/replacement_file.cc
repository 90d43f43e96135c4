#include "importer/replacement_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dbformat/fatal.h"
#include "dbformat/open_file.h"

namespace tx {
namespace {

constexpr const char* kErrorWritingDatabase = "Error writing database file";
constexpr const char* kErrorReplacingDatabase = "Error replacing database file";

[[noreturn]] void cantOpen(const std::string& path, int error) {
  fatalMessage(cantOpenMessage(path, std::strerror(error)));
}

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows symbolic links to the file they end at, which need not exist yet.
std::string followLinks(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    char target[PATH_MAX];
    const ssize_t length = ::readlink(current.c_str(), target, sizeof target - 1);
    if (length < 0) cantOpen(path, errno);
    const std::string link(target, static_cast<std::size_t>(length));
    current = link.front() == '/' ? link : directoryOf(current) + "/" + link;
  }
  cantOpen(path, ELOOP);
}

mode_t defaultMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

ReplacementFile::ReplacementFile(const std::string& path) : path_(path), target_(followLinks(path)) {
  struct stat existing {};
  const bool exists = ::stat(target_.c_str(), &existing) == 0;
  if (exists && !S_ISREG(existing.st_mode)) {
    fd_ = ::open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd_ < 0) cantOpen(path_, errno);
    return;
  }
  // An output the user could not write in place is not replaced either.
  if (exists && ::access(target_.c_str(), W_OK) != 0) cantOpen(path_, errno);

  const std::size_t slash = target_.rfind('/');
  const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  std::string pattern = directoryOf(target_) + "/." + base + ".TxImport-XXXXXX";
  fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd_ < 0) cantOpen(path_, errno);
  temporary_ = pattern;
  setFatalCleanup([temporary = temporary_] { ::unlink(temporary.c_str()); });
  if (::fchmod(fd_, exists ? existing.st_mode & 07777 : defaultMode()) != 0) fatalSystemError(kErrorWritingDatabase);
  if (exists && (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid())) {
    // Keeps the old owner where the system lets us; otherwise the file
    // becomes ours, as a file written anew would.
    [[maybe_unused]] const int ignored = ::fchown(fd_, existing.st_uid, existing.st_gid);
  }
}

void ReplacementFile::commit() {
  if (temporary_.empty()) {
    if (::close(fd_) != 0) fatalSystemError(kErrorWritingDatabase);
    return;
  }
  if (::fsync(fd_) != 0) fatalSystemError(kErrorWritingDatabase);
  if (::close(fd_) != 0) fatalSystemError(kErrorWritingDatabase);
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) fatalSystemError(kErrorReplacingDatabase);
  setFatalCleanup(nullptr);
  // The new name must reach the disk as well.
  const int directory = ::open(directoryOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    ::fsync(directory);
    ::close(directory);
  }
}

}  // namespace tx
