// Block-buffered reading and writing of files, over the platform layer's
// descriptors, so that no hot path makes a system call per byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "system/large_memory.h"

namespace tx {

// The one buffered reader: of a database at any offset, of a text file line
// by line, of answers from a pipe or a terminal.  It reports and the caller
// decides: a read that gets less than asked says so, and error() then tells
// the end of the input (0) from a system error (its errno).
//
// Until seek() is called the input is read in order (a pipe or a terminal
// will do); after it, at the offsets asked for.
class BufferedReader {
 public:
  explicit BufferedReader(int fd, std::size_t blockSize = 64 * 1024);
  // Reads `bytes` as if they were a file (for tests).
  explicit BufferedReader(std::string bytes);
  // Reads bytes that stay where they are (a file read whole): as a file
  // whose reads fail with `errorAtEnd` past them, where it is not 0.
  struct InMemory {};
  BufferedReader(InMemory, std::string_view bytes, int errorAtEnd = 0);
  virtual ~BufferedReader() = default;
  BufferedReader(const BufferedReader&) = delete;
  BufferedReader& operator=(const BufferedReader&) = delete;

  void seek(std::uint64_t offset);

  // The bytes buffered from the position on, reading more when none are.
  // Empty at the end of the input or on a read error.
  std::string_view peek();
  // At least `count` bytes from the position on where the input has them.
  std::string_view peek(std::size_t count);
  void advance(std::size_t count) { position_ += count; }

  // Reads exactly `size` bytes and moves past them; false if the input ends
  // or fails first.
  bool readExact(void* destination, std::size_t size);

  // The next physical line, up to and including its line feed (the last
  // line of the input may have none), of any length; valid until the next
  // read.  Empty at the end of the input or on a read error.
  std::string_view readLine();

  // Moves past the rest of the line, its line feed included, keeping none
  // of it; false when the input ends or fails first.
  bool skipLine();

  // Forgets what is buffered but not yet taken.
  void discardBuffered();

  int error() const { return error_; }

  // True when what peek() and readLine() give stays where it is for the
  // reader's life (bytes in memory), not only until the next read.
  bool keepsItsBytes() const { return inMemory_; }

 protected:
  // The next read, of at most `size` bytes, in order from where the last one
  // ended (`offset`, which a reader that has sought reads at): the count, 0
  // at the end of the input, or -1 with errno set.
  virtual long readNext(char* destination, std::size_t size, std::uint64_t offset);

 private:
  // Reads more after what is buffered, keeping the bytes from the position
  // on; false when nothing more came.
  bool fill();

  int fd_ = -1;
  std::vector<char> buffer_;
  std::uint64_t bufferStart_ = 0;  // the input offset of buffer_[0]
  std::size_t bufferLength_ = 0;
  std::uint64_t position_ = 0;
  bool positional_ = false;
  bool inMemory_ = false;
  std::string_view memory_;  // in memory: all the bytes there are
  int errorAtEnd_ = 0;
  bool atEnd_ = false;
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

// Buffered writes to a descriptor in whole blocks: every write but the last
// is `blockSize` bytes long and starts a whole number of blocks from where
// the writer started (the start of the file); BENCHMARKS.md says why.  Bytes
// that arrive at a block boundary go out from where they are, as many whole
// blocks as they fill, uncopied.
//
// It reports and the caller decides: a write that fails gives false, and
// error() and written() then say why and where.  After a failure the
// writer is not used again.
class BlockWriter {
 public:
  explicit BlockWriter(int fd, std::size_t blockSize = kHugePageSize);
  // The first `count` bytes of the output are not written but kept, for
  // the caller to write last (heldBack()); the descriptor must stand
  // `count` bytes from where the output starts.
  BlockWriter(int fd, std::size_t blockSize, std::size_t holdBack)
      : BlockWriter(fd, blockSize) { holdBack_ = holdBack; }

  [[nodiscard]] bool write(std::string_view bytes);
  const std::string& heldBack() const { return heldBack_; }
  // For an output that is flushed to the disk once complete: each block's
  // write to the disk is started as soon as it is written, so that the
  // flush waits for the last blocks only.
  void startWriteBack() { writeBack_ = true; }
  // For a new file written from its start: whole blocks go straight to the
  // disk, around the host's cache, where the host and the file system take
  // such writes; the last part of a block, and everything after a write
  // that did not go through whole, go through the cache.
  void writeAroundCache();
  // Writes out everything buffered.
  [[nodiscard]] bool flush();

  // The errno of the failed write.
  int error() const { return error_; }
  // How many bytes reached the file; after a failure, the offset (from where
  // the writer started) of the first byte that did not.
  std::uint64_t written() const { return written_; }

 private:
  bool writeOut(const char* bytes, std::size_t size);

  int fd_;
  std::size_t blockSize_;
  LargeMemory memory_;
  std::size_t used_ = 0;
  std::uint64_t written_ = 0;
  int error_ = 0;
  std::size_t holdBack_ = 0;
  std::string heldBack_;
  bool writeBack_ = false;
  bool aroundCache_ = false;
};

// Reads up to `size` bytes of the file `fd` from its start into `bytes`:
// how many it got, and the error that stopped it short (0 where the file
// ended first).
struct ReadResult {
  std::size_t got = 0;
  int error = 0;
};
ReadResult readFromStart(int fd, char* bytes, std::size_t size);

// The same into a string of its own: the bytes it got (fewer than `size`
// where the file ended or failed first), and the error that stopped it.
struct FileBytes {
  std::string bytes;
  int error = 0;
};
FileBytes readBytesFromStart(int fd, std::uint64_t size);

// Writes all of `bytes` to `fd`, retrying after interruptions and partial
// writes.  False on failure, with errno set.  Where `written` is given, each
// byte that reaches the file is counted there as it goes.
bool writeAll(int fd, const char* bytes, std::size_t size, std::uint64_t* written = nullptr) noexcept;

}  // namespace tx
