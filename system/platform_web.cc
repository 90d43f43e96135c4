// The host of the web page: a browser.  The page's core reads and writes
// bytes in memory and files of Emscripten's in-memory file system, which
// lives and dies with the page; no file of the user's is ever opened, so
// there is nothing to replace, to lock, to put back or to flush, no console
// and no signal.  What such a host cannot do fails with ENOTSUP.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "system/platform.h"

namespace tx::platform {
namespace {

int unsupported() {
  errno = ENOTSUP;
  return -1;
}

}  // namespace

std::string errorText(int error) { return std::strerror(error); }

std::vector<std::string> arguments(int argc, char** argv) { return {argv, argv + argc}; }
void reportFileSizeLimits() {}
void openMissingStandardStreams() {}

int openForReading(const std::string& path) { return ::open(path.c_str(), O_RDONLY); }
int openForWriting(const std::string& path) { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666); }
int openExisting(const std::string& path, bool truncate, bool read) {
  return ::open(path.c_str(), (read ? O_RDWR : O_WRONLY) | (truncate ? O_TRUNC : 0));
}
int closeFile(int fd) { return ::close(fd); }

long readSome(int fd, char* destination, std::size_t size) { return ::read(fd, destination, size); }
long readAt(int fd, char* destination, std::size_t size, std::uint64_t offset) {
  return ::pread(fd, destination, size, static_cast<off_t>(offset));
}
long writeSome(int fd, const char* source, std::size_t size) { return ::write(fd, source, size); }
long writeAt(int fd, const char* source, std::size_t size, std::uint64_t offset) {
  return ::pwrite(fd, source, size, static_cast<off_t>(offset));
}

void startWriteBack(int, std::uint64_t, std::uint64_t) noexcept {}

int flushToDisk(int) { return 0; }
int truncateFile(int fd, std::uint64_t length) { return ::ftruncate(fd, static_cast<off_t>(length)); }
long long currentOffset(int fd) { return ::lseek(fd, 0, SEEK_CUR); }
int seekTo(int fd, std::uint64_t offset) {
  return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset) ? 0 : -1;
}
void sleepMilliseconds(int) {}
int reserveRoom(int, std::uint64_t) { return 0; }

namespace {

FileStatus fromStat(const struct stat& info) {
  FileStatus status;
  status.volume = static_cast<std::uint64_t>(info.st_dev);
  status.index = static_cast<std::uint64_t>(info.st_ino);
  status.size = static_cast<std::uint64_t>(info.st_size);
  status.modifiedSeconds = info.st_mtim.tv_sec;
  status.modifiedNanoseconds = info.st_mtim.tv_nsec;
  status.changedSeconds = info.st_ctim.tv_sec;
  status.changedNanoseconds = info.st_ctim.tv_nsec;
  status.links = static_cast<std::uint64_t>(info.st_nlink);
  status.regular = S_ISREG(info.st_mode);
  status.directory = S_ISDIR(info.st_mode);
  return status;
}

}  // namespace

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

bool canWrite(const std::string& path) { return ::access(path.c_str(), W_OK) == 0; }
int lockByte(int, LockByte, bool) { return 0; }

bool isConsole(int) { return false; }
void discardConsoleInput(int) {}

void* mapPages(std::size_t size) { return std::malloc(size); }
void unmapPages(void* memory, std::size_t) noexcept { std::free(memory); }

// A page is not ended by signals: closing it drops its memory, and with it
// every file of its own.
void onExitSignals(void (*)()) {}
void holdExitSignals() noexcept {}
void releaseExitSignals() noexcept {}
bool restoreBytesForSignal(int, const char*, std::size_t, std::uint64_t, std::size_t) noexcept { return false; }
void removeForSignal(const char*) noexcept {}

bool lookUpOutput(const std::string&, OutputLookup&) { return unsupported() == 0; }
std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}
std::string baseNameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}
std::string joinPath(const std::string& directory, const std::string& name) {
  return directory.empty() || directory.back() == '/' ? directory + name : directory + "/" + name;
}

int createUnnamed(const std::string&) { return unsupported(); }
int nameUnnamed(int, const std::string&) { return unsupported(); }
int createTemporary(std::string&) { return unsupported(); }
bool directoryTakesFiles(const std::string&) { return unsupported() == 0; }
std::size_t longestName(const std::string&) { return 255; }
std::string randomSuffix() { return "XXXXXX"; }
bool copyIdentity(const std::string&, int, int) { return unsupported() == 0; }
int setDefaultPermissions(int) { return 0; }
int replaceFile(const std::string&, const std::string&) { return unsupported(); }
int removeFile(const std::string& path) { return ::unlink(path.c_str()); }
int createNew(const std::string&) { return unsupported(); }
int openOwnForReading(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_NOFOLLOW); }
std::string stateDirectory(bool) { return {}; }
std::string absolutePath(const std::string& path) { return path; }
int renameNoReplace(const std::string&, const std::string&) { return unsupported(); }
std::uint32_t userId() { return 0; }
void removeStaleTemporaries(const std::string&, const std::string&, std::int64_t) {}
int flushDirectory(const std::string&) { return 0; }

}  // namespace tx::platform
