// Block-buffered file access over POSIX descriptors, so that no hot path
// makes a system call per byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tx {

// Random-access reads from a file, through one block buffer.  Reads never
// fail silently: each one says whether it got what it asked for, and
// error() then tells an end of file (0) from a system error (its errno).
class InputFile {
 public:
  explicit InputFile(int fd, std::size_t blockSize = 64 * 1024);
  virtual ~InputFile() = default;

  void seek(std::uint64_t offset) { position_ = offset; }
  std::uint64_t position() const { return position_; }

  // Reads exactly `size` bytes at the position and moves past them.
  bool readExact(void* destination, std::size_t size);

  // The bytes buffered from the position on, refilling the buffer when it
  // holds none.  Empty at the end of the file or on a read error.
  std::string_view peek();
  void advance(std::size_t size) { position_ += size; }

  int error() const { return error_; }

 protected:
  // One read of at most `size` bytes at `offset`: the count, 0 at the end
  // of the file, or -1 with errno set.
  virtual long readAt(char* destination, std::size_t size, std::uint64_t offset);

 private:
  bool fill();

  int fd_;
  std::vector<char> buffer_;
  std::uint64_t bufferStart_ = 0;
  std::size_t bufferLength_ = 0;
  std::uint64_t position_ = 0;
  int error_ = 0;
};

// Where written bytes go.  endOfUnit() marks that everything written so far
// forms complete units (records).
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void write(std::string_view bytes) = 0;
  virtual void endOfUnit() {}
};

class StringSink : public ByteSink {
 public:
  void write(std::string_view bytes) override { text_.append(bytes); }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// Buffered writes to a descriptor.  Every write is checked: a failure fails
// the run with `errorMessage` and the system's text.
class OutputFile : public ByteSink {
 public:
  OutputFile(int fd, std::string errorMessage, std::size_t blockSize = 64 * 1024);

  void write(std::string_view bytes) override;

  // Writes out everything buffered.
  void flush();

 private:
  int fd_;
  std::string errorMessage_;
  std::size_t blockSize_;
  std::string buffer_;
};

// Writes all of `bytes` to `fd`, retrying after interruptions and partial
// writes.  False on failure, with errno set.
bool writeAll(int fd, const char* bytes, std::size_t size) noexcept;

}  // namespace tx
