#include "system/exit_signals.h"

#include <cerrno>

#include "system/platform.h"

namespace tx::exit_signals {
namespace {

std::atomic<const PutBack*> armedPutBack{nullptr};
// The latest armed removal; each one links to the one armed before it.
std::atomic<const RemoveOnExit*> armedRemovals{nullptr};
static_assert(std::atomic<const PutBack*>::is_always_lock_free &&
              std::atomic<const RemoveOnExit*>::is_always_lock_free &&
              std::atomic<std::uint64_t>::is_always_lock_free);

bool writeBack(int fd, const char* bytes, std::size_t from, std::size_t to) noexcept {
  while (from < to) {
    const long wrote = platform::writeAt(fd, bytes + from, to - from, from);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    from += static_cast<std::size_t>(wrote);
  }
  return true;
}

}  // namespace

bool restoreBytes(int fd, const char* bytes, std::size_t count, std::uint64_t length, std::size_t headLast) noexcept {
  const std::size_t head = headLast < count ? headLast : count;
  const bool rest = writeBack(fd, bytes, head, count);
  const bool cut = platform::truncateFile(fd, length) == 0;
  if (!(platform::flushToDisk(fd) == 0 && rest && cut)) return false;
  return head == 0 || (writeBack(fd, bytes, 0, head) && platform::flushToDisk(fd) == 0);
}

void undoArmed() noexcept {
  if (const PutBack* putBack = armedPutBack.load()) putBack->undo();
  for (const RemoveOnExit* removal = armedRemovals.load(); removal; removal = removal->next_.load()) {
    platform::removeForSignal(removal->path_.c_str());
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
  if (!restoreBytes(fd_, bytes_, count_, length_.load(), headLast_)) return false;
  if (rollbackCopy_) platform::removeForSignal(rollbackCopy_);
  return true;
}

bool PutBack::undoNow() noexcept {
  const bool done = undo();
  keep();
  return done;
}

RemoveOnExit::RemoveOnExit(std::string path) : path_(std::move(path)) {
  // Complete, then published.
  next_.store(armedRemovals.load());
  armedRemovals.store(this);
  armed_ = true;
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
  if (!armed_) return;
  armed_ = false;
  // The link that points here is made to point past: the handler sees the
  // list with this one or without it, whole either way.
  for (std::atomic<const RemoveOnExit*>* link = &armedRemovals; const RemoveOnExit* removal = link->load();
       link = &removal->next_) {
    if (removal == this) {
      link->store(next_.load());
      return;
    }
  }
}

Deferred::Deferred() noexcept { platform::holdExitSignals(); }

Deferred::~Deferred() { platform::releaseExitSignals(); }

}  // namespace tx::exit_signals
