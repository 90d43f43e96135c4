// The platform layer on Windows: CRT descriptors in binary mode over Win32
// handles, wide (UTF-16) calls for every path.
#define _CRT_RAND_S  // rand_s
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "system/platform.h"

namespace tx::platform {
namespace {

std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

std::string narrow(const wchar_t* text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string utf8(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
  utf8.pop_back();
  return utf8;
}

// errno for the last Win32 error, so that failures read as they do elsewhere.
// Causes the C library has no number for.
constexpr int kHeldOpen = 0x7001;
constexpr int kReadOnly = 0x7002;

int setErrnoFromWindows() {
  switch (::GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      errno = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
      errno = EACCES;
      break;
    case ERROR_SHARING_VIOLATION:
      errno = kHeldOpen;
      break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      errno = EEXIST;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      errno = ENOSPC;
      break;
    case ERROR_LOCK_VIOLATION:
      errno = EWOULDBLOCK;
      break;
    case ERROR_FILENAME_EXCED_RANGE:
      errno = ENAMETOOLONG;
      break;
    case ERROR_DIRECTORY:
      errno = ENOTDIR;
      break;
    default:
      errno = EIO;
  }
  return -1;
}

HANDLE handleOf(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

unsigned chunk(std::size_t size) { return static_cast<unsigned>(size < INT_MAX ? size : INT_MAX); }

OVERLAPPED at(std::uint64_t offset) {
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(offset);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return overlapped;
}

FileStatus fromInformation(const BY_HANDLE_FILE_INFORMATION& info, DWORD type) {
  FileStatus status;
  status.volume = info.dwVolumeSerialNumber;
  status.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  status.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  const std::uint64_t ticks =
      (std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime;
  status.modifiedSeconds = static_cast<std::int64_t>(ticks / 10000000);
  status.modifiedNanoseconds = static_cast<std::int64_t>(ticks % 10000000) * 100;
  status.links = info.nNumberOfLinks;
  status.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  status.regular = !status.directory && type == FILE_TYPE_DISK;
  return status;
}

bool statusOfHandle(HANDLE handle, FileStatus& result) {
  const DWORD type = ::GetFileType(handle);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) {
    // A device (NUL, the console) has no such information: it is a file,
    // but not a regular one, and no other file is the same.
    if (type == FILE_TYPE_DISK) return setErrnoFromWindows() == 0;
    result = FileStatus{};
    result.index = reinterpret_cast<std::uintptr_t>(handle);
    result.volume = ~std::uint64_t{0};
    return true;
  }
  result = fromInformation(info, type);
  return true;
}

}  // namespace

std::string errorText(int error) {
  if (error == kHeldOpen) return "another program has the file open";
  if (error == kReadOnly) return "the file is marked read-only";
  return std::strerror(error);
}

std::vector<std::string> arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (!wide) return {argv, argv + argc};
  std::vector<std::string> result;
  for (int i = 0; i < count; ++i) result.push_back(narrow(wide[i]));
  ::LocalFree(wide);
  return result;
}

void reportFileSizeLimits() {}

// A descriptor over a handle opened with every sharing mode, so that a file
// the importer holds can still be replaced (and deleted) while it does.
int openShared(const std::string& path, DWORD access, DWORD disposition, int flags) {
  const HANDLE handle = ::CreateFileW(widen(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return setErrnoFromWindows();
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) ::CloseHandle(handle);
  return fd;
}

int openForReading(const std::string& path) { return openShared(path, GENERIC_READ, OPEN_EXISTING, _O_RDONLY); }

void openMissingStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    // -1: closed; -2: never given a stream (a process without a console).
    const intptr_t handle = ::_get_osfhandle(fd);
    if (handle != -1 && handle != -2) continue;
    const int null = ::_open("NUL", _O_RDWR | _O_BINARY);
    if (null >= 0 && null != fd) {
      ::_dup2(null, fd);
      ::_close(null);
    }
  }
}

int openForWriting(const std::string& path) {
  return ::_wopen(widen(path).c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                  _S_IREAD | _S_IWRITE);
}

int openExisting(const std::string& path, bool truncate, bool read) {
  return ::_wopen(widen(path).c_str(),
                  (read ? _O_RDWR : _O_WRONLY) | (truncate ? _O_TRUNC : 0) | _O_BINARY | _O_NOINHERIT);
}

int closeFile(int fd) { return ::_close(fd); }

namespace {
// Set as soon as Ctrl-C, Ctrl-Break or the console's closing arrives.
std::atomic<bool> consoleEventArrived{false};
}  // namespace

long readSome(int fd, char* destination, std::size_t size) {
  const long got = ::_read(fd, destination, chunk(size));
  if (got > 0) return got;
  // A console event can end a read on the console or a pipe before its
  // handler has run: the run is ending by that event, not by the end of the
  // input, so this thread waits for the handler, which ends the process.
  for (int waited = 0; waited < 500 && !consoleEventArrived.load(); waited += 10) {
    if (got == 0 && waited >= 50) break;
    ::Sleep(10);
  }
  while (consoleEventArrived.load()) ::Sleep(1000);
  return got;
}

long readAt(int fd, char* destination, std::size_t size, std::uint64_t offset) {
  OVERLAPPED overlapped = at(offset);
  DWORD got = 0;
  if (::ReadFile(handleOf(fd), destination, chunk(size), &got, &overlapped)) return static_cast<long>(got);
  if (::GetLastError() == ERROR_HANDLE_EOF) return 0;
  return setErrnoFromWindows();
}

long writeSome(int fd, const char* source, std::size_t size) {
  // Not through the C library, whose error numbers miss a full disk.
  DWORD wrote = 0;
  if (::WriteFile(handleOf(fd), source, chunk(size), &wrote, nullptr)) return static_cast<long>(wrote);
  return setErrnoFromWindows();
}

long writeAt(int fd, const char* source, std::size_t size, std::uint64_t offset) {
  OVERLAPPED overlapped = at(offset);
  DWORD wrote = 0;
  if (::WriteFile(handleOf(fd), source, chunk(size), &wrote, &overlapped)) return static_cast<long>(wrote);
  return setErrnoFromWindows();
}

void startWriteBack(int, std::uint64_t, std::uint64_t) noexcept {}
bool writeAroundCache(int, bool) noexcept { return false; }
// The work is done one part after the other here.
bool startThread(void (*)(void*), void*, void*&) noexcept { return false; }
void joinThread(void*) noexcept {}

int flushToDisk(int fd) { return ::FlushFileBuffers(handleOf(fd)) ? 0 : setErrnoFromWindows(); }

int truncateFile(int fd, std::uint64_t length) {
  const int error = ::_chsize_s(fd, static_cast<long long>(length));
  if (error == 0) return 0;
  errno = error;
  return -1;
}

long long currentOffset(int fd) { return ::_lseeki64(fd, 0, SEEK_CUR); }

int seekTo(int fd, std::uint64_t offset) {
  return ::_lseeki64(fd, static_cast<long long>(offset), SEEK_SET) == static_cast<long long>(offset) ? 0 : -1;
}

void sleepMilliseconds(int milliseconds) { ::Sleep(static_cast<DWORD>(milliseconds)); }

int reserveRoom(int, std::uint64_t) { return 0; }

bool status(int fd, FileStatus& result) {
  const HANDLE handle = handleOf(fd);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return false;
  }
  return statusOfHandle(handle, result);
}

bool status(const std::string& path, FileStatus& result) {
  const HANDLE handle =
      ::CreateFileW(widen(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return setErrnoFromWindows() == 0;
  const bool known = statusOfHandle(handle, result);
  ::CloseHandle(handle);
  return known;
}

bool canWrite(const std::string& path) {
  const HANDLE handle = ::CreateFileW(widen(path).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesW(widen(path).c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
      errno = kReadOnly;
      return false;
    }
    ::SetLastError(error);
    return setErrnoFromWindows() == 0;
  }
  ::CloseHandle(handle);
  return true;
}

// Bytes far past the end: Windows locks keep other handles from the bytes
// they cover, and the programs' own handles must reach every real byte.
int lockByte(int fd, LockByte which, bool exclusive) {
  OVERLAPPED overlapped = at(~std::uint64_t{0} - 1 - static_cast<std::uint64_t>(which));
  // A handle's own lock conflicts with its next one here: what it held goes
  // first, so that a lock is taken again, or changed in kind, as on POSIX.
  OVERLAPPED held = overlapped;
  ::UnlockFileEx(handleOf(fd), 0, 1, 0, &held);
  const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  if (::LockFileEx(handleOf(fd), flags, 0, 1, 0, &overlapped)) return 0;
  if (::GetLastError() == ERROR_LOCK_VIOLATION || ::GetLastError() == ERROR_IO_PENDING) return EWOULDBLOCK;
  setErrnoFromWindows();
  return errno;
}

bool isConsole(int fd) {
  // _isatty is true for NUL as well; only a console has a console mode.
  DWORD mode = 0;
  return ::GetConsoleMode(handleOf(fd), &mode) != 0;
}

void discardConsoleInput(int fd) { ::FlushConsoleInputBuffer(handleOf(fd)); }

void* mapPages(std::size_t size) {
  return ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmapPages(void* memory, std::size_t) noexcept { ::VirtualFree(memory, 0, MEM_RELEASE); }

// Files are read into memory here: a file that a run had mapped could be
// neither removed nor replaced by another program until the run ended.
void* mapFile(int, std::size_t) { return nullptr; }
void unmapFile(void*, std::size_t) noexcept {}

namespace {

void (*exitHandler)() = nullptr;
std::atomic<int> held{0};
HANDLE mainThread = nullptr;

BOOL WINAPI onConsoleEvent(DWORD) {
  consoleEventArrived.store(true);
  // The handler runs on a thread of its own.  The main thread is stopped
  // first, so that nothing it writes comes after the undoing, and only where
  // it does not hold the signals, as a blocked signal would wait.
  for (;;) {
    if (mainThread && ::SuspendThread(mainThread) == static_cast<DWORD>(-1)) break;
    if (held.load() == 0) break;
    if (mainThread) ::ResumeThread(mainThread);
    ::Sleep(1);
  }
  if (exitHandler) exitHandler();
  // Ended here, with the status a console interrupt gives: nothing of the
  // stopped main thread's may run on, and no clean-up of the host's that
  // could wait for it.
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
  return TRUE;
}

}  // namespace

void onExitSignals(void (*handler)()) {
  exitHandler = handler;
  if (!mainThread) {
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &mainThread,
                      THREAD_SUSPEND_RESUME, FALSE, 0);
  }
  ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

// Files are read into memory here: no mapped byte can fail to be read.
void onReadFault(const char* (*)(const void*)) {}

void holdExitSignals() noexcept { ++held; }

void releaseExitSignals() noexcept { --held; }

void removeForSignal(const char* path) noexcept {
  static wchar_t wide[4096];
  if (::MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, 4096) > 0) ::DeleteFileW(wide);
}

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  const bool drive = path.size() >= 2 && path[1] == ':';
  if (slash == std::string::npos) return drive ? path.substr(0, 2) : ".";
  // The root of a drive, or of the current drive, keeps its separator.
  if (slash == 0 || (drive && slash == 2)) return path.substr(0, slash + 1);
  return path.substr(0, slash);
}

std::string joinPath(const std::string& directory, const std::string& name) {
  const bool bareDrive = directory.size() == 2 && directory[1] == ':';
  if (bareDrive || directory.back() == '\\' || directory.back() == '/') return directory + name;
  return directory + "\\" + name;
}

std::string baseNameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  if (slash != std::string::npos) return path.substr(slash + 1);
  return path.size() >= 2 && path[1] == ':' ? path.substr(2) : path;
}

bool lookUpOutput(const std::string& path, OutputLookup& output) {
  // Windows follows no link by hand either; the file is replaced at the path.
  output = OutputLookup{};
  output.target = path;
  if (status(path, output.status)) {
    output.exists = true;
    return true;
  }
  return errno == ENOENT;
}

int createUnnamed(const std::string&) {
  errno = EOPNOTSUPP;
  return -1;
}

int nameUnnamed(int, const std::string&) {
  errno = EOPNOTSUPP;
  return -1;
}

int createTemporary(std::string& pattern) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    pattern.replace(pattern.size() - 6, 6, randomSuffix());
    // With the right to set its security descriptor, which the old file's
    // is copied into.
    const int fd = openShared(pattern, GENERIC_READ | GENERIC_WRITE | WRITE_DAC | DELETE, CREATE_NEW, _O_RDWR);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool directoryTakesFiles(const std::string& directory) {
  // Only making a file tells for certain; joined by the host's rules, so that
  // a bare drive ("Z:") means its current folder, not its root.
  std::string probe = joinPath(directory, ".TxImport-XXXXXX");
  const int fd = createTemporary(probe);
  if (fd < 0) return false;
  ::_close(fd);
  ::DeleteFileW(widen(probe).c_str());
  return true;
}

std::size_t longestName(const std::string&) { return 255; }

std::string randomSuffix() {
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string suffix;
  for (int i = 0; i < 6; ++i) {
    unsigned int value = 0;
    if (::rand_s(&value) != 0) value = static_cast<unsigned int>(std::rand());
    suffix.push_back(kLetters[value % (sizeof kLetters - 1)]);
  }
  return suffix;
}

bool copyIdentity(const std::string&, int from, int to) {
  // The old file's access control list and attributes.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  if (::GetSecurityInfo(handleOf(from), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  // The new file was opened with the right to set it.
  const HANDLE writable = handleOf(to);
  bool kept = ::SetSecurityInfo(writable, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr) ==
              ERROR_SUCCESS;
  BY_HANDLE_FILE_INFORMATION info{};
  if (kept && ::GetFileInformationByHandle(handleOf(from), &info)) {
    FILE_BASIC_INFO basic{};
    // Read-only would keep the new bytes from being written.
    basic.FileAttributes = (info.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY}) | FILE_ATTRIBUTE_ARCHIVE;
    kept = ::SetFileInformationByHandle(writable, FileBasicInfo, &basic, sizeof basic) != 0;
  }
  ::LocalFree(descriptor);
  return kept;
}

int setDefaultPermissions(int) { return 0; }

int replaceFile(const std::string& from, const std::string& to) {
  if (::MoveFileExW(widen(from).c_str(), widen(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return 0;
  }
  const DWORD error = ::GetLastError();
  if (error == ERROR_ACCESS_DENIED) {
    // Some hosts say "access denied" where another program holds the file:
    // an open that shares nothing tells the two apart.
    const HANDLE probe = ::CreateFileW(widen(to).c_str(), DELETE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
      ::CloseHandle(probe);
    } else if (::GetLastError() == ERROR_SHARING_VIOLATION) {
      errno = kHeldOpen;
      return -1;
    }
  }
  ::SetLastError(error);
  return setErrnoFromWindows();
}

void removeStaleTemporaries(const std::string& directory, const std::string& prefix, std::int64_t before) {
  // Joined by the host's rules: a bare drive ("Z:") is its current folder.
  const std::string stem = joinPath(directory, "");
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW(widen(stem + prefix + "??????").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    if (std::wcslen(found.cFileName) != widen(prefix).size() + 6) continue;
    const std::uint64_t ticks = (std::uint64_t{found.ftLastWriteTime.dwHighDateTime} << 32) |
                                found.ftLastWriteTime.dwLowDateTime;
    // Windows counts 100-nanosecond ticks from 1601.
    const std::int64_t seconds = static_cast<std::int64_t>(ticks / 10000000) - 11644473600;
    if (seconds >= before) continue;
    ::DeleteFileW((widen(stem) + found.cFileName).c_str());
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
}

int createNew(const std::string& path) {
  return ::_wopen(widen(path).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

int openOwnForReading(const std::string& path) { return openForReading(path); }

int renameNoReplace(const std::string& from, const std::string& to) {
  if (::MoveFileExW(widen(from).c_str(), widen(to).c_str(), MOVEFILE_WRITE_THROUGH)) return 0;
  return setErrnoFromWindows();
}

std::string stateDirectory(bool make) {
  const wchar_t* local = ::_wgetenv(L"LOCALAPPDATA");
  if (!local || !local[0]) return {};
  const std::string folder = narrow(local) + "\\txtools";
  if (make && !::CreateDirectoryW(widen(folder).c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
    return {};
  }
  return folder;
}

std::string absolutePath(const std::string& path) {
  const std::wstring wide = widen(path);
  const DWORD length = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (length == 0) return path;
  std::wstring full(length, L'\0');
  const DWORD written = ::GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
  if (written == 0 || written >= length) return path;
  full.resize(written);
  return narrow(full.c_str());
}

std::uint32_t userId() { return 0; }

int removeFile(const std::string& path) { return ::DeleteFileW(widen(path).c_str()) ? 0 : setErrnoFromWindows(); }

int flushDirectory(const std::string&) {
  // MOVEFILE_WRITE_THROUGH has put the new name on the disk.
  return 0;
}

}  // namespace tx::platform
