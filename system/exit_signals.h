// The signals that end a run from outside cannot unwind the stack, so what
// they must undo is kept where their handler can reach it, by one guard
// object for each output: a file to put back (the exporter's text, cut to
// its last complete record; a database written in place, its old bytes
// written back) and a path to remove (the importer's named temporary file).
// The handler does only that, with async-signal-safe calls, flushes what it
// put back, and then ends the process by the same signal, so that a shell
// sees 128 + its number.
//
// A guard is published to the handler by one atomic store of its address,
// made when it is complete, and withdrawn by one store of null, made before
// anything of it changes: a signal at any instruction finds either the
// whole guard or none.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tx::exit_signals {

// Installs the handler for every signal whose default action ends the
// process (those the caller ignores stay ignored).  Nothing is undone until
// a guard is armed.
void install();

// A file that must not be left half-written: until keep(), a run that ends
// early (a failure that unwinds, or a signal) writes `bytes` at its start,
// cuts it to `length` bytes and flushes it.  One at a time.
class PutBack {
 public:
  // Arms.  The bytes must stay valid for the guard's life.  `rollbackCopy`,
  // where given, names a file that holds the same old bytes on the disk: it
  // is removed once they are put back, and kept where they could not be.
  // The first `headLast` bytes are written last, once the rest is on the
  // disk (see restoreBytes).
  PutBack(int fd, std::uint64_t length, const char* bytes = nullptr, std::size_t count = 0,
          const char* rollbackCopy = nullptr, std::size_t headLast = 0) noexcept;
  // Puts back unless kept, then disarms.
  ~PutBack();
  PutBack(const PutBack&) = delete;
  PutBack& operator=(const PutBack&) = delete;

  // The file's first `length` bytes are now whole and are kept on an undo.
  void setLength(std::uint64_t length) noexcept { length_.store(length); }
  // The file is complete: nothing is undone any more.
  void keep() noexcept;
  // What a signal does: the bytes, the length, the flush, then the rollback
  // copy removed.  False where the file could not be put back.
  bool undo() const noexcept;
  // Undoes now, once: false where the file could not be put back.
  bool undoNow() noexcept;

 private:
  int fd_;
  const char* bytes_;
  std::size_t count_;
  const char* rollbackCopy_;
  std::size_t headLast_;
  std::atomic<std::uint64_t> length_;
  bool kept_ = false;
};

// A path the run made: until keep(), a run that ends early removes it.  Any
// number may be armed at once, and kept or ended in any order: the armed
// ones form a list that the handler walks, each joined by one store of the
// head and left by one store of the link that points at it.
class RemoveOnExit {
 public:
  explicit RemoveOnExit(std::string path);
  ~RemoveOnExit();
  RemoveOnExit(const RemoveOnExit&) = delete;
  RemoveOnExit& operator=(const RemoveOnExit&) = delete;

  const std::string& path() const { return path_; }
  void keep() noexcept;

 private:
  void disarm() noexcept;
  friend void undoArmed() noexcept;

  const std::string path_;
  // The next armed one; changed only by the run, read by the handler.
  mutable std::atomic<const RemoveOnExit*> next_{nullptr};
  bool armed_ = false;
  bool kept_ = false;
};

// Holds the signals back for its lifetime, for steps that must happen
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

// What the handler does, without ending the process: for tests.
void undoArmed() noexcept;

// Writes `bytes` (`count` of them) back at the start of `fd`, cuts it to
// `length` and flushes it, with calls that a signal handler may make.  The
// first `headLast` bytes go last, once the rest and the length are on the
// disk, and not at all where those failed.  True when every byte, the
// length and the flush took.
bool restoreBytes(int fd, const char* bytes, std::size_t count, std::uint64_t length,
                  std::size_t headLast = 0) noexcept;

}  // namespace tx::exit_signals
