// The signals that end a run from outside (SIGINT, SIGTERM, SIGHUP, SIGPIPE)
// cannot unwind the stack, so what they must undo is kept here, where their
// handler can reach it: a file to put back (the exporter's text, cut to its
// last complete record; a database written in place, its old bytes written
// back) and a path to remove (the importer's named temporary file).  The handler does only that, with async-signal-safe
// calls, and then ends the process by the same signal, so that a shell sees
// 128 + its number.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tx::exit_signals {

// Installs the handler for the four signals.  Nothing is undone until armed.
void install();

// On a signal, `bytes` are written at the start of `fd`, which is then cut
// to `length` bytes.  Called again as the length grows; fd -1 disarms.  The
// bytes must stay valid while armed.
void restoreOnSignal(int fd, std::uint64_t length, const char* bytes = nullptr, std::size_t byteCount = 0) noexcept;

// On a signal, `path` is removed; nullptr disarms.  A path longer than the
// handler can hold is refused with false, and nothing is armed.
bool unlinkOnSignal(const char* path) noexcept;

// Holds the four signals back for its lifetime, for steps that must happen
// together (creating a file and arming its removal; putting the new
// database in place and disarming).  A signal that arrives meanwhile ends
// the process when the block is lifted.
class Deferred {
 public:
  Deferred() noexcept;
  ~Deferred();
  Deferred(const Deferred&) = delete;
  Deferred& operator=(const Deferred&) = delete;
};

}  // namespace tx::exit_signals
