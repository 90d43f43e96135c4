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
#include "system/posix_common.h"

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

void startWriteBack(int, std::uint64_t, std::uint64_t) noexcept {}
bool writeAroundCache(int, bool) noexcept { return false; }
// The work is done one part after the other here.
bool startThread(void (*)(void*), void*, void*&) noexcept { return false; }
void joinThread(void*) noexcept {}

int flushToDisk(int) { return 0; }
void sleepMilliseconds(int) {}
int reserveRoom(int, std::uint64_t) { return 0; }

bool canWrite(const std::string& path) { return ::access(path.c_str(), W_OK) == 0; }
int lockByte(int, LockByte, bool) { return 0; }

bool isConsole(int) { return false; }
void discardConsoleInput(int) {}

void* mapPages(std::size_t size) { return std::malloc(size); }
void unmapPages(void* memory, std::size_t) noexcept { std::free(memory); }
// The page's files are in memory already.
void* mapFile(int, std::size_t) { return nullptr; }
void unmapFile(void*, std::size_t) noexcept {}

// A page is not ended by signals: closing it drops its memory, and with it
// every file of its own.
void onExitSignals(void (*)()) {}
void onReadFault(const char* (*)(const void*)) {}
void holdExitSignals() noexcept {}
void releaseExitSignals() noexcept {}
void removeForSignal(const char*) noexcept {}

bool lookUpOutput(const std::string&, OutputLookup&) { return unsupported() == 0; }
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
int createNew(const std::string&) { return unsupported(); }
int openOwnForReading(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_NOFOLLOW); }
std::string stateDirectory(bool) { return {}; }
std::string absolutePath(const std::string& path) { return path; }
int renameNoReplace(const std::string&, const std::string&) { return unsupported(); }
std::uint32_t userId() { return 0; }
void removeStaleTemporaries(const std::string&, const std::string&, std::int64_t) {}
int flushDirectory(const std::string&) { return 0; }

}  // namespace tx::platform
