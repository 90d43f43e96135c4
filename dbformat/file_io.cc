#include "dbformat/file_io.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "dbformat/fatal.h"

namespace tx {

InputFile::InputFile(int fd, std::size_t blockSize) : fd_(fd), buffer_(blockSize) {}

long InputFile::readAt(char* destination, std::size_t size, std::uint64_t offset) {
  return ::pread(fd_, destination, size, static_cast<off_t>(offset));
}

bool InputFile::fill() {
  bufferStart_ = position_;
  bufferLength_ = 0;
  for (;;) {
    const long got = readAt(buffer_.data(), buffer_.size(), position_);
    if (got >= 0) {
      bufferLength_ = static_cast<std::size_t>(got);
      error_ = 0;
      return got > 0;
    }
    if (errno != EINTR) {
      error_ = errno;
      return false;
    }
  }
}

std::string_view InputFile::peek() {
  if (position_ < bufferStart_ || position_ >= bufferStart_ + bufferLength_) {
    if (!fill()) return {};
  }
  const std::size_t skip = static_cast<std::size_t>(position_ - bufferStart_);
  return {buffer_.data() + skip, bufferLength_ - skip};
}

bool InputFile::readExact(void* destination, std::size_t size) {
  char* out = static_cast<char*>(destination);
  while (size > 0) {
    const std::string_view available = peek();
    if (available.empty()) return false;
    const std::size_t take = available.size() < size ? available.size() : size;
    std::memcpy(out, available.data(), take);
    out += take;
    size -= take;
    advance(take);
  }
  return true;
}

bool writeAll(int fd, const char* bytes, std::size_t size) noexcept {
  while (size > 0) {
    const ssize_t done = ::write(fd, bytes, size);
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
  }
  return true;
}

OutputFile::OutputFile(int fd, std::string errorMessage, std::size_t blockSize)
    : fd_(fd), errorMessage_(std::move(errorMessage)), blockSize_(blockSize) {
  buffer_.reserve(blockSize_);
}

void OutputFile::write(std::string_view bytes) {
  buffer_.append(bytes);
  if (buffer_.size() >= blockSize_) flush();
}

void OutputFile::flush() {
  if (buffer_.empty()) return;
  if (!writeAll(fd_, buffer_.data(), buffer_.size())) fatalSystemError(errorMessage_);
  buffer_.clear();
}

}  // namespace tx
