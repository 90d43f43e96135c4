#include "system/exit_signals.h"

#include "system/platform.h"

namespace tx::exit_signals {
namespace {

std::atomic<const PutBack*> armedPutBack{nullptr};
// Two at once: a file the run made where a link pointed nowhere, and its
// temporary file.
std::atomic<const char*> armedRemovals[2] = {nullptr, nullptr};
static_assert(std::atomic<const PutBack*>::is_always_lock_free && std::atomic<const char*>::is_always_lock_free &&
              std::atomic<std::uint64_t>::is_always_lock_free);

}  // namespace

void undoArmed() noexcept {
  if (const PutBack* putBack = armedPutBack.load()) putBack->undo();
  for (const auto& removal : armedRemovals) {
    if (const char* path = removal.load()) platform::removeForSignal(path);
  }
}

void install() { platform::onExitSignals(undoArmed); }

PutBack::PutBack(int fd, std::uint64_t length, const char* bytes, std::size_t count, const char* rollbackCopy,
                 std::size_t headLast) noexcept
    : fd_(fd), bytes_(bytes), count_(count), rollbackCopy_(rollbackCopy), headLast_(headLast), length_(length) {
  armedPutBack.store(this);
}

PutBack::~PutBack() {
  // Undone while still armed: a signal meanwhile does the same again.
  if (!kept_) undo();
  armedPutBack.store(nullptr);
}

void PutBack::keep() noexcept {
  armedPutBack.store(nullptr);
  kept_ = true;
}

bool PutBack::undo() const noexcept {
  if (!platform::restoreBytesForSignal(fd_, bytes_, count_, length_.load(), headLast_)) return false;
  if (rollbackCopy_) platform::removeForSignal(rollbackCopy_);
  return true;
}

bool PutBack::undoNow() noexcept {
  const bool done = undo();
  keep();
  return done;
}

RemoveOnExit::RemoveOnExit(std::string path) : path_(std::move(path)) {
  for (auto& removal : armedRemovals) {
    const char* none = nullptr;
    if (removal.compare_exchange_strong(none, path_.c_str())) return;
  }
}

RemoveOnExit::~RemoveOnExit() {
  if (!kept_) platform::removeForSignal(path_.c_str());
  disarm();
}

void RemoveOnExit::keep() noexcept {
  disarm();
  kept_ = true;
}

void RemoveOnExit::disarm() noexcept {
  for (auto& removal : armedRemovals) {
    const char* mine = path_.c_str();
    removal.compare_exchange_strong(mine, nullptr);
  }
}

Deferred::Deferred() noexcept { platform::holdExitSignals(); }

Deferred::~Deferred() { platform::releaseExitSignals(); }

}  // namespace tx::exit_signals
