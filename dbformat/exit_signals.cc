#include "dbformat/exit_signals.h"

#include <atomic>
#include <cstring>

#include "dbformat/platform.h"

namespace tx::exit_signals {
namespace {

std::atomic<int> restoreFd{-1};
std::atomic<std::uint64_t> restoreLength{0};
std::atomic<const char*> restoreBytes{nullptr};
std::atomic<std::size_t> restoreByteCount{0};
std::atomic<bool> unlinkArmed{false};
char unlinkPath[4096];
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<std::uint64_t>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free && std::atomic<const char*>::is_always_lock_free &&
              std::atomic<std::size_t>::is_always_lock_free);

void undo() {
  const int fd = restoreFd.load();
  if (fd >= 0) platform::restoreBytesForSignal(fd, restoreBytes.load(), restoreByteCount.load(), restoreLength.load());
  if (unlinkArmed.load()) platform::removeForSignal(unlinkPath);
}

}  // namespace

void install() { platform::onExitSignals(undo); }

void restoreOnSignal(int fd, std::uint64_t length, const char* bytes, std::size_t byteCount) noexcept {
  // Each value on its own is one a signal may act on: the length only grows
  // while armed, and the descriptor comes last.
  restoreLength.store(length);
  restoreBytes.store(bytes);
  restoreByteCount.store(byteCount);
  restoreFd.store(fd);
}

bool unlinkOnSignal(const char* path) noexcept {
  unlinkArmed.store(false);
  if (path == nullptr) return true;
  const std::size_t length = std::strlen(path);
  if (length >= sizeof unlinkPath) return false;
  std::memcpy(unlinkPath, path, length + 1);
  unlinkArmed.store(true);
  return true;
}

Deferred::Deferred() noexcept { platform::holdExitSignals(); }

Deferred::~Deferred() { platform::releaseExitSignals(); }

}  // namespace tx::exit_signals
