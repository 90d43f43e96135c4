#include "dbformat/fatal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace tx {
namespace {

void writeTo(int fd, std::string_view text) noexcept {
  while (!text.empty()) {
    const ssize_t done = ::write(fd, text.data(), text.size());
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(done));
  }
}

}  // namespace

void fatalError(std::string_view message, std::string_view reason) {
  std::string line;
  line.reserve(message.size() + reason.size() + 3);
  line.append(message).append(": ").append(reason).push_back('\n');
  throw Failure(FailureStream::Err, std::move(line));
}

void fatalSystemError(std::string_view message) {
  const int error = errno;
  fatalError(message, std::strerror(error));
}

void fatalReadError(std::string_view message, int error) {
  if (error == 0) fatalError(message, kUnexpectedEnd);
  fatalError(message, std::strerror(error));
}

void fatalMessage(std::string_view text) { throw Failure(FailureStream::Out, std::string(text)); }

void reportFailure(const Failure& failure) noexcept {
  std::fflush(stdout);
  writeTo(failure.stream() == FailureStream::Out ? STDOUT_FILENO : STDERR_FILENO, failure.text());
}

void reportOutOfMemory() noexcept {
  std::fflush(stdout);
  writeTo(STDERR_FILENO, kMallocFailure);
  writeTo(STDERR_FILENO, ": ");
  writeTo(STDERR_FILENO, std::strerror(ENOMEM));
  writeTo(STDERR_FILENO, "\n");
}

}  // namespace tx
