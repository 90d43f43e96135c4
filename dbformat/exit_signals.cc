#include "dbformat/exit_signals.h"

#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace tx::exit_signals {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

std::atomic<int> restoreFd{-1};
std::atomic<std::uint64_t> restoreLength{0};
std::atomic<const char*> restoreBytes{nullptr};
std::atomic<std::size_t> restoreByteCount{0};
std::atomic<bool> unlinkArmed{false};
char unlinkPath[PATH_MAX];
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<std::uint64_t>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free && std::atomic<const char*>::is_always_lock_free &&
              std::atomic<std::size_t>::is_always_lock_free);

sigset_t signalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kSignals) sigaddset(&set, signal);
  return set;
}

extern "C" void onExitSignal(int signal) {
  const int fd = restoreFd.load();
  if (fd >= 0) {
    const char* bytes = restoreBytes.load();
    const std::size_t count = restoreByteCount.load();
    for (std::size_t done = 0; done < count;) {
      const ssize_t wrote = ::pwrite(fd, bytes + done, count - done, static_cast<off_t>(done));
      if (wrote <= 0) break;
      done += static_cast<std::size_t>(wrote);
    }
    [[maybe_unused]] const int ignored = ::ftruncate(fd, static_cast<off_t>(restoreLength.load()));
  }
  if (unlinkArmed.load()) ::unlink(unlinkPath);
  // SA_RESETHAND has restored the default action; the signal stays blocked
  // until the handler returns, and then ends the process.
  ::raise(signal);
}

}  // namespace

void install() {
  struct sigaction action {};
  action.sa_handler = onExitSignal;
  action.sa_flags = static_cast<int>(SA_RESETHAND);
  action.sa_mask = signalSet();
  for (int signal : kSignals) {
    struct sigaction old {};
    // A signal the caller chose to ignore stays ignored.
    if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
}

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

Deferred::Deferred() noexcept {
  const sigset_t set = signalSet();
  ::sigprocmask(SIG_BLOCK, &set, nullptr);
}

Deferred::~Deferred() {
  const sigset_t set = signalSet();
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace tx::exit_signals
