#include "dbformat/exit_signals.h"

#include "dbformat/platform.h"

namespace tx::exit_signals {
namespace {

std::atomic<const PutBack*> armedPutBack{nullptr};
std::atomic<const char*> armedRemoval{nullptr};
static_assert(std::atomic<const PutBack*>::is_always_lock_free && std::atomic<const char*>::is_always_lock_free &&
              std::atomic<std::uint64_t>::is_always_lock_free);

}  // namespace

void undoArmed() noexcept {
  if (const PutBack* putBack = armedPutBack.load()) putBack->undo();
  if (const char* path = armedRemoval.load()) platform::removeForSignal(path);
}

void install() { platform::onExitSignals(undoArmed); }

PutBack::PutBack(int fd, std::uint64_t length, const char* bytes, std::size_t count) noexcept
    : fd_(fd), bytes_(bytes), count_(count), length_(length) {
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

void PutBack::undo() const noexcept { platform::restoreBytesForSignal(fd_, bytes_, count_, length_.load()); }

RemoveOnExit::RemoveOnExit(std::string path) : path_(std::move(path)) { armedRemoval.store(path_.c_str()); }

RemoveOnExit::~RemoveOnExit() {
  if (!kept_) platform::removeForSignal(path_.c_str());
  armedRemoval.store(nullptr);
}

void RemoveOnExit::keep() noexcept {
  armedRemoval.store(nullptr);
  kept_ = true;
}

Deferred::Deferred() noexcept { platform::holdExitSignals(); }

Deferred::~Deferred() { platform::releaseExitSignals(); }

}  // namespace tx::exit_signals
