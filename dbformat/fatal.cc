#include "dbformat/fatal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace tx {
namespace {

std::function<void()>& cleanupSlot() {
  static std::function<void()> cleanup;
  return cleanup;
}

std::function<void()>& interceptorSlot() {
  static std::function<void()> interceptor;
  return interceptor;
}

[[noreturn]] void finish() {
  // Taken out first, so a failure inside the cleanup cannot run it again.
  std::function<void()> cleanup = std::exchange(cleanupSlot(), nullptr);
  if (cleanup) cleanup();
  std::fflush(stdout);
  if (interceptorSlot()) interceptorSlot()();
  std::exit(1);
}

}  // namespace

void setFatalCleanup(std::function<void()> cleanup) { cleanupSlot() = std::move(cleanup); }

void setFatalInterceptor(std::function<void()> interceptor) { interceptorSlot() = std::move(interceptor); }

void fatalError(std::string_view message, std::string_view reason) {
  std::string line;
  line.reserve(message.size() + reason.size() + 3);
  line.append(message).append(": ").append(reason).push_back('\n');
  std::fflush(stdout);
  std::fwrite(line.data(), 1, line.size(), stderr);
  finish();
}

void fatalSystemError(std::string_view message) {
  const int error = errno;
  fatalError(message, std::strerror(error));
}

void fatalReadError(std::string_view message, int error) {
  if (error == 0) fatalError(message, kUnexpectedEnd);
  fatalError(message, std::strerror(error));
}

void fatalMessage(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  finish();
}

}  // namespace tx
