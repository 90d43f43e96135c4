// What the POSIX host and the web page's host (Emscripten, which gives a
// POSIX interface over its own file system) do alike.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "system/platform.h"
#include "system/posix_common.h"

namespace tx::platform {

int closeFile(int fd) { return ::close(fd); }

long readSome(int fd, char* destination, std::size_t size) { return ::read(fd, destination, size); }

long readAt(int fd, char* destination, std::size_t size, std::uint64_t offset) {
  return ::pread(fd, destination, size, static_cast<off_t>(offset));
}

long writeSome(int fd, const char* source, std::size_t size) { return ::write(fd, source, size); }

long writeAt(int fd, const char* source, std::size_t size, std::uint64_t offset) {
  return ::pwrite(fd, source, size, static_cast<off_t>(offset));
}

int truncateFile(int fd, std::uint64_t length) { return ::ftruncate(fd, static_cast<off_t>(length)); }

long long currentOffset(int fd) { return ::lseek(fd, 0, SEEK_CUR); }

int seekTo(int fd, std::uint64_t offset) {
  return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset) ? 0 : -1;
}

FileStatus fromStat(const struct stat& info) {
  FileStatus status;
  status.volume = static_cast<std::uint64_t>(info.st_dev);
  status.index = static_cast<std::uint64_t>(info.st_ino);
  status.size = static_cast<std::uint64_t>(info.st_size);
#ifdef __APPLE__
  status.modifiedSeconds = info.st_mtimespec.tv_sec;
  status.modifiedNanoseconds = info.st_mtimespec.tv_nsec;
  status.changedSeconds = info.st_ctimespec.tv_sec;
  status.changedNanoseconds = info.st_ctimespec.tv_nsec;
#else
  status.modifiedSeconds = info.st_mtim.tv_sec;
  status.modifiedNanoseconds = info.st_mtim.tv_nsec;
  status.changedSeconds = info.st_ctim.tv_sec;
  status.changedNanoseconds = info.st_ctim.tv_nsec;
#endif
  status.links = static_cast<std::uint64_t>(info.st_nlink);
  status.owner = static_cast<std::uint32_t>(info.st_uid);
  status.regular = S_ISREG(info.st_mode);
  status.directory = S_ISDIR(info.st_mode);
  return status;
}

bool status(int fd, FileStatus& result) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return false;
  result = fromStat(info);
  return true;
}

bool status(const std::string& path, FileStatus& result) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
  result = fromStat(info);
  return true;
}

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int removeFile(const std::string& path) { return ::unlink(path.c_str()); }

}  // namespace tx::platform
