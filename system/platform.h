// What differs between the hosts the programs run on, and nothing else:
// files and paths, the console, the command line, memory, the signals that
// end a run, and the replacement of one file by another.  One implementation
// for POSIX systems (platform_posix.cc), one for Windows
// (platform_windows.cc); the rest of the code calls only these.
//
// Files are descriptors (`int`), opened in binary mode; paths are UTF-8.  A
// call that fails returns -1 (or false) with errno set, so that the caller
// reports the system's text as everywhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tx::platform {

// The line end of the host's text files; the text reader takes either.
#ifdef _WIN32
inline constexpr std::string_view kLineEnd = "\r\n";
#else
inline constexpr std::string_view kLineEnd = "\n";
#endif

// The text for an error number: the C library's, and for the causes that a
// host tells apart beyond the C library's numbers (on Windows: a file that
// another program holds open, a file marked read-only), its own.
std::string errorText(int error);

// ---- The command line

// The arguments as UTF-8, the program's name first.
std::vector<std::string> arguments(int argc, char** argv);

// A file-size limit shows as a write error that is reported, not as a signal.
void reportFileSizeLimits();

// Each of standard input, output and error that is closed is opened on the
// null device, so that no file the program opens takes its place.
void openMissingStandardStreams();

// ---- Files

int openForReading(const std::string& path);
// Creates the file where it is missing (mode 0666 less the umask) and empties
// it where it exists.
int openForWriting(const std::string& path);
// Opens an existing file to write over its bytes: for `truncate`, emptied.
int openExisting(const std::string& path, bool truncate, bool read);
int closeFile(int fd);

// One read of at most `size` bytes: in order, or at `offset`.  The count, 0
// at the end of the input, or -1.
long readSome(int fd, char* destination, std::size_t size);
long readAt(int fd, char* destination, std::size_t size, std::uint64_t offset);
// One write of at most `size` bytes: in order, or at `offset`.
long writeSome(int fd, const char* source, std::size_t size);
long writeAt(int fd, const char* source, std::size_t size, std::uint64_t offset);

// The file's bytes and what describes them on the disk, flushed.
int flushToDisk(int fd);
// Starts writing `length` bytes from `offset` to the disk without waiting,
// where the host can, so that a later flush has less to wait for.
void startWriteBack(int fd, std::uint64_t offset, std::uint64_t length) noexcept;
// Sends the writes to the regular file open as `fd` straight to the disk,
// around the host's cache of files (`around`), or through it again: whether
// they now go around it.  Such a write must start at a multiple of
// kDirectUnit, from memory aligned so, and be a multiple of it long; one
// that is not fails.  Used for a new file that is written once, whole, and
// flushed: its bytes are not copied into the cache, nor written back from
// there.
inline constexpr std::size_t kDirectUnit = 4096;
bool writeAroundCache(int fd, bool around) noexcept;
int truncateFile(int fd, std::uint64_t length);
// The current offset of the next write in order, and a way to set it
// (reads at an offset may move it on some hosts).
long long currentOffset(int fd);
int seekTo(int fd, std::uint64_t offset);
// Waits, for a lock another program holds.
void sleepMilliseconds(int milliseconds);
// Room for `size` bytes, where the file system can promise it: 0, or the
// error number (0 too where it cannot promise).
int reserveRoom(int fd, std::uint64_t size);

// What tells one file from another and one version of it from the next.
struct FileStatus {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  std::uint64_t size = 0;
  std::int64_t modifiedSeconds = 0;
  std::int64_t modifiedNanoseconds = 0;
  // When the file or what describes it last changed, which no program can
  // set back (where the host keeps it).
  std::int64_t changedSeconds = 0;
  std::int64_t changedNanoseconds = 0;
  std::uint64_t links = 1;
  std::uint32_t owner = 0;  // the owner's user id, where the host has one
  bool regular = false;
  bool directory = false;
};
bool status(int fd, FileStatus& status);
// Follows symbolic links.
bool status(const std::string& path, FileStatus& status);
inline bool sameFile(const FileStatus& a, const FileStatus& b) { return a.volume == b.volume && a.index == b.index; }
// Same file, same size, last modified and changed at the same nanosecond.
inline bool sameVersion(const FileStatus& a, const FileStatus& b) {
  return sameFile(a, b) && a.size == b.size && a.modifiedSeconds == b.modifiedSeconds &&
         a.modifiedNanoseconds == b.modifiedNanoseconds && a.changedSeconds == b.changedSeconds &&
         a.changedNanoseconds == b.changedNanoseconds;
}

// Whether the existing file at `path` could be opened for writing through
// that path, as a program that creates it where it is missing would open it
// (errno tells why not): the kernel's protections against files and links
// planted by other users, and append-only and immutable files, say no here.
bool canWrite(const std::string& path);

// Locks that programs take to tell each other what they do with a file,
// each on a byte of its own far past any end: held by the open file (not
// the process) until it is closed, exclusive or shared (taken again, a
// lock changes its kind).  0,
// EWOULDBLOCK where another open file holds one that conflicts, or another
// error number (a file system without locks is no reason to stop).  An
// exclusive lock needs a file open for writing.
enum class LockByte { Update = 0, Rewrite = 1 };
int lockByte(int fd, LockByte which, bool exclusive);

// ---- The console

bool isConsole(int fd);
// Drops what was typed at the console but not read yet.
void discardConsoleInput(int fd);

// ---- A second thread

// Starts `run(argument)` on a thread of its own, which takes none of the
// signals that end a run from outside (the faults of its own it takes):
// false where the host gives no such thread.  joinThread() waits for it.
bool startThread(void (*run)(void*), void* argument, void*& thread) noexcept;
void joinThread(void* thread) noexcept;

// ---- Memory for large buffers: huge pages where the host has them.

void* mapPages(std::size_t size);  // nullptr when there is none
void unmapPages(void* memory, std::size_t size) noexcept;

// ---- Files read by mapping them

// The first `size` bytes of the regular file open as `fd`, mapped into
// memory to be read: no copy is made and no fresh page cleared.  nullptr
// where the host maps no file, or not this one: the caller reads it.  Where
// the file shrinks while it is mapped, touching a byte past its new end
// raises a fault, which the handler given to onReadFault hears.
void* mapFile(int fd, std::size_t size);
void unmapFile(void* bytes, std::size_t size) noexcept;

// ---- The signals that end a run from outside

// `handler` runs when the user or the system ends the run (any signal whose
// default action ends the process and that is not ignored; a console close
// or Ctrl+C), with only async-signal-safe work; the process then ends as
// that signal ends it.
void onExitSignals(void (*handler)());
// `handler` hears the address of a byte of a mapped file that could not be
// read (the file shrank, or the disk failed), with only async-signal-safe
// work: the text of the run's failure where the byte is one of the run's,
// which the process then writes on standard error before it runs the exit
// handler and ends with status 1, as a failure ends it; null where the byte
// is none of the run's, and the fault ends the process as a signal.
void onReadFault(const char* (*handler)(const void* address));
// While held, such a signal waits; it takes effect when the last is released.
void holdExitSignals() noexcept;
void releaseExitSignals() noexcept;

// An async-signal-safe removal, for the handler.  (writeAt, truncateFile
// and flushToDisk are safe for it as they stand.)
void removeForSignal(const char* path) noexcept;

// ---- Replacing the output

// Where the output `path` leads, as the kernel itself follows its links
// (with its protections against links planted by other users): the path of
// the file there and its status where it exists.  A link that leads
// nowhere is followed as an open for writing follows it: the file it names
// is made, empty, and `made` says so.  False with errno set where the
// kernel refuses the path.
struct OutputLookup {
  std::string target;
  bool exists = false;
  FileStatus status;
  bool made = false;
};
bool lookUpOutput(const std::string& path, OutputLookup& output);
std::string directoryOf(const std::string& path);
std::string baseNameOf(const std::string& path);
// `name` in `directory`, joined by the host's rules (on Windows with a
// backslash, which every form of path takes, and none after a bare drive,
// whose current folder "C:" names).
std::string joinPath(const std::string& directory, const std::string& name);

// A new file in `directory` that has no name until nameUnnamed(): its
// descriptor; -1 with errno EOPNOTSUPP where the host or the file system
// offers no such file, or with the reason the directory takes none.
int createUnnamed(const std::string& directory);
int nameUnnamed(int fd, const std::string& name);
// A new file of its own at `pattern`, whose last six characters (XXXXXX) are
// replaced to make a name that is not taken.
int createTemporary(std::string& pattern);
// Whether a new file can be made in `directory` (errno tells why not).
bool directoryTakesFiles(const std::string& directory);
// The longest file name the directory takes.
std::size_t longestName(const std::string& directory);
// Six characters for a temporary name.
std::string randomSuffix();

// Gives the new file `to` what the file at `path` (open as `from`) has
// besides its bytes: owner and group, permission bits, ACL, extended
// attributes.  False where any of it cannot be set.
bool copyIdentity(const std::string& path, int from, int to);
// Gives a new file the permissions a file created now would have.
int setDefaultPermissions(int fd);

// Puts `from` in the place of `to`, at once, and on the disk.
int replaceFile(const std::string& from, const std::string& to);
// Gives `from` the name `to` where nothing has that name: -1 with EEXIST
// where something does, which stays as it is.
int renameNoReplace(const std::string& from, const std::string& to);
int removeFile(const std::string& path);
// A new file at `path`, only this user may read, never made through a link
// (-1 with EEXIST where anything is there).
int createNew(const std::string& path);
// Opens for reading, not through a link and without waiting (a pipe or a
// device named so is not waited on).
int openOwnForReading(const std::string& path);
// A folder of this user's own for files that must outlive a restart
// ($XDG_STATE_HOME/txtools or ~/.local/state/txtools; on Windows
// %LOCALAPPDATA%\txtools), made where missing when `make`: "" where there
// is none.
std::string stateDirectory(bool make);
// `path` from the root of its file system, as a later run in another
// directory finds it: a relative path joined to the current directory
// (links are not followed).
std::string absolutePath(const std::string& path);
// This user's id (0 where the host has none).
std::uint32_t userId();
// Removes from `directory` the regular files of this user named `prefix`
// and six letters or digits, last modified before `before` (seconds since
// 1970): the temporary files of a run that ended without removing them.
void removeStaleTemporaries(const std::string& directory, const std::string& prefix, std::int64_t before);
// The directory's entries on the disk, after a rename: 0, or -1 with errno
// set (a directory that cannot be opened to flush it is no failure).
int flushDirectory(const std::string& directory);

}  // namespace tx::platform
