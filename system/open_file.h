// Opening the files named on the command line, and the message that answers
// a failure to open one.
#pragma once

#include <string>
#include <string_view>

namespace tx {

// The message for a path that cannot be opened: "Can't open "<path>": " and
// the reason, with no line end.
std::string cantOpenMessage(const std::string& path, std::string_view reason);

// Fails with the "Can't open" message, for standard output.
[[noreturn]] void failToOpen(const std::string& path, std::string_view reason);

// Owns an open descriptor: closed when it goes out of scope, or by close(),
// which checks.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
  ~FileDescriptor();
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  int release() noexcept;

  // Closes; a failure fails the run with `message` and the system's text.
  void close(std::string_view message);

 private:
  int fd_;
};

// Opens `path` for reading; a failure fails the run with the "Can't open"
// message.
FileDescriptor openForReading(const std::string& path);

// True when both paths name one existing file (through links or other
// spellings too).
bool sameFile(int fd, const std::string& path);

// True when both descriptors are open on one file.
bool sameFile(int fd, int other);

}  // namespace tx
