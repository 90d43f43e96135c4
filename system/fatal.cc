#include "system/fatal.h"

#include "system/file_io.h"
#include "system/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tx {
namespace {

// Nothing can be reported about a report that cannot be written.
void writeTo(int fd, std::string_view text) noexcept {
  [[maybe_unused]] const bool written = writeAll(fd, text.data(), text.size());
}

}  // namespace

void fatalError(std::string_view message, std::string_view reason) {
  std::string line;
  line.reserve(message.size() + reason.size() + 3);
  line.append(message).append(": ").append(reason).push_back('\n');
  throw Failure(FailureStream::Err, std::move(line));
}

void fatalSystemError(std::string_view message) { fatalSystemError(message, errno); }

void fatalSystemError(std::string_view message, int error) { fatalError(message, platform::errorText(error)); }

void fatalReadError(std::string_view message, int error) {
  if (error == 0) fatalError(message, kUnexpectedEnd);
  fatalError(message, platform::errorText(error));
}

void fatalMessage(std::string_view text) { throw Failure(FailureStream::Out, std::string(text)); }

std::string noteText(std::string_view program, std::string_view path, std::string_view where,
                     std::string_view words) {
  std::string line(program);
  line.append(": note: \"").append(path).append("\"").append(where).append(": ").append(words).push_back('\n');
  return line;
}

void reportNote(std::FILE* out, std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
}

void reportFailure(const Failure& failure) noexcept {
  std::fflush(stdout);
  const std::string& text = failure.text();
  if (failure.stream() == FailureStream::Err) {
    writeTo(2, text);
    return;
  }
  writeTo(1, text);
  // A message that ends without a line end would have the shell's prompt
  // glued to it at a terminal; a script reading it gets the bytes as they are.
  if (!text.empty() && text.back() != '\n' && platform::isConsole(1)) writeTo(1, "\n");
}

void reportOutOfMemory() noexcept {
  std::fflush(stdout);
  writeTo(2, kMallocFailure);
  writeTo(2, ": ");
  writeTo(2, std::strerror(ENOMEM));
  writeTo(2, "\n");
}

}  // namespace tx
