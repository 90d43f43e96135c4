#include "system/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "system/fatal.h"
#include "system/platform.h"

namespace tx {

BufferedReader::BufferedReader(int fd, std::size_t blockSize) : fd_(fd), buffer_(blockSize) {}

BufferedReader::BufferedReader(std::string bytes)
    : buffer_(bytes.begin(), bytes.end()), inMemory_(true), memory_(buffer_.data(), buffer_.size()) {}

BufferedReader::BufferedReader(InMemory, std::string_view bytes, int errorAtEnd)
    : inMemory_(true), memory_(bytes), errorAtEnd_(errorAtEnd) {}

long BufferedReader::readNext(char* destination, std::size_t size, std::uint64_t offset) {
  if (positional_) return platform::readAt(fd_, destination, size, offset);
  return platform::readSome(fd_, destination, size);
}

void BufferedReader::seek(std::uint64_t offset) {
  if (!positional_ && !inMemory_) {
    // From here on the buffer holds bytes at known offsets of a file.
    positional_ = true;
    bufferLength_ = 0;
    atEnd_ = false;
  }
  position_ = offset;
}

bool BufferedReader::fill() {
  // Bytes in memory are all there is, and stay where they are.
  if (inMemory_) return false;
  const bool inBuffer = position_ >= bufferStart_ && position_ <= bufferStart_ + bufferLength_;
  if (!inBuffer) {
    // A jump elsewhere in a file: the buffer starts again there.
    bufferStart_ = position_;
    bufferLength_ = 0;
    atEnd_ = false;
  } else {
    // Keep the bytes from the position on, at the front.
    const std::size_t skip = static_cast<std::size_t>(position_ - bufferStart_);
    std::memmove(buffer_.data(), buffer_.data() + skip, bufferLength_ - skip);
    bufferLength_ -= skip;
    bufferStart_ = position_;
  }
  if (atEnd_) return false;
  if (bufferLength_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
  for (;;) {
    const long got = readNext(buffer_.data() + bufferLength_, buffer_.size() - bufferLength_,
                            bufferStart_ + bufferLength_);
    if (got > 0) {
      bufferLength_ += static_cast<std::size_t>(got);
      error_ = 0;
      return true;
    }
    if (got == 0) {
      atEnd_ = true;
      error_ = 0;
      return false;
    }
    if (errno != EINTR) {
      error_ = errno;
      return false;
    }
  }
}

std::string_view BufferedReader::peek() {
  if (inMemory_) {
    if (position_ < memory_.size()) return memory_.substr(static_cast<std::size_t>(position_));
    error_ = errorAtEnd_;
    return {};
  }
  if (position_ < bufferStart_ || position_ >= bufferStart_ + bufferLength_) {
    if (!fill()) return {};
  }
  const std::size_t skip = static_cast<std::size_t>(position_ - bufferStart_);
  return {buffer_.data() + skip, bufferLength_ - skip};
}

std::string_view BufferedReader::peek(std::size_t count) {
  std::string_view available = peek();
  while (!available.empty() && available.size() < count) {
    // A fill may move the buffer even where it then finds the end: the view
    // is always taken again after it.
    const bool more = fill();
    available = peek();
    if (!more) break;
  }
  return available;
}

bool BufferedReader::readExact(void* destination, std::size_t size) {
  char* out = static_cast<char*>(destination);
  while (size > 0) {
    const std::string_view available = peek();
    if (available.empty()) return false;
    const std::size_t take = std::min(available.size(), size);
    std::memcpy(out, available.data(), take);
    out += take;
    size -= take;
    advance(take);
  }
  return true;
}

std::string_view BufferedReader::readLine() {
  std::string_view available = peek();
  std::size_t searched = 0;
  while (!available.empty()) {
    const void* feed = std::memchr(available.data() + searched, '\n', available.size() - searched);
    if (feed) {
      const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(feed) - available.data()) + 1;
      advance(length);
      return available.substr(0, length);
    }
    searched = available.size();
    if (!fill()) {
      // The last line has no line feed; a read error gives nothing.
      if (error_ != 0) return {};
      available = peek();
      advance(available.size());
      return available;
    }
    available = peek();
  }
  return {};
}

bool BufferedReader::skipLine() {
  for (;;) {
    const std::string_view available = peek();
    if (available.empty()) return false;
    const void* feed = std::memchr(available.data(), '\n', available.size());
    if (feed) {
      advance(static_cast<std::size_t>(static_cast<const char*>(feed) - available.data()) + 1);
      return true;
    }
    advance(available.size());
  }
}

void BufferedReader::discardBuffered() {
  if (inMemory_) return;
  bufferStart_ = position_;
  bufferLength_ = 0;
}

FileBytes readBytesFromStart(int fd, std::uint64_t size) {
  FileBytes file;
  file.bytes.resize(static_cast<std::size_t>(size));
  const ReadResult read = readFromStart(fd, file.bytes.data(), file.bytes.size());
  file.bytes.resize(read.got);
  file.error = read.error;
  return file;
}

ReadResult readFromStart(int fd, char* bytes, std::size_t size) {
  ReadResult result;
  while (result.got < size) {
    const long got = platform::readAt(fd, bytes + result.got, size - result.got, result.got);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      result.error = errno;
      break;
    }
    if (got == 0) break;
    result.got += static_cast<std::size_t>(got);
  }
  return result;
}

bool writeAll(int fd, const char* bytes, std::size_t size, std::uint64_t* written) noexcept {
  while (size > 0) {
    const long done = platform::writeSome(fd, bytes, size);
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (done == 0) {
      errno = EIO;
      return false;
    }
    bytes += done;
    size -= static_cast<std::size_t>(done);
    if (written) *written += static_cast<std::uint64_t>(done);
  }
  return true;
}

BlockWriter::BlockWriter(int fd, std::size_t blockSize) : fd_(fd), blockSize_(blockSize), memory_(blockSize) {}

void BlockWriter::writeAroundCache() {
  aroundCache_ = holdBack_ == 0 && written_ == 0 && used_ == 0 && blockSize_ % platform::kDirectUnit == 0 &&
                 platform::writeAroundCache(fd_, true);
}

bool BlockWriter::write(std::string_view bytes) {
  while (!bytes.empty()) {
    // Straight from where they lie, except around the cache, which takes
    // only memory aligned as the block is.
    if (used_ == 0 && bytes.size() >= blockSize_ && !aroundCache_) {
      const std::size_t whole = bytes.size() / blockSize_ * blockSize_;
      if (!writeOut(bytes.data(), whole)) return false;
      bytes.remove_prefix(whole);
      continue;
    }
    const std::size_t take = std::min(bytes.size(), blockSize_ - used_);
    std::memcpy(memory_.bytes() + used_, bytes.data(), take);
    used_ += take;
    bytes.remove_prefix(take);
    if (used_ == blockSize_ && !flush()) return false;
  }
  return true;
}

bool BlockWriter::flush() {
  if (used_ == 0) return true;
  if (!writeOut(memory_.bytes(), used_)) return false;
  used_ = 0;
  return true;
}

bool BlockWriter::writeOut(const char* bytes, std::size_t size) {
  if (written_ < holdBack_) {
    const std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(size, holdBack_ - written_));
    heldBack_.append(bytes, kept);
    written_ += kept;
    bytes += kept;
    size -= kept;
  }
  if (aroundCache_) {
    // The whole units in one write around the cache.  The rest (the last
    // part of the output), and what a write that did not go through whole
    // left (a full disk, a size limit), go through the cache, whose write
    // then reports why.
    const std::size_t whole = size / platform::kDirectUnit * platform::kDirectUnit;
    const long wrote = whole > 0 ? platform::writeSome(fd_, bytes, whole) : 0;
    const std::size_t done = wrote > 0 ? static_cast<std::size_t>(wrote) : 0;
    written_ += done;
    bytes += done;
    size -= done;
    if (size == 0) return true;
    aroundCache_ = platform::writeAroundCache(fd_, false);
    if (aroundCache_) {
      error_ = EINVAL;
      return false;
    }
  }
  const std::uint64_t start = written_;
  if (!writeAll(fd_, bytes, size, &written_)) {
    error_ = errno;
    return false;
  }
  if (writeBack_ && size > 0) platform::startWriteBack(fd_, start, size);
  return true;
}

}  // namespace tx
