// Rollback copies: the old bytes of a file that is rewritten in place, on
// the disk before its first byte changes, so that a crash or a power cut in
// the rewrite can be undone by the next program that reads the file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "system/exit_signals.h"
#include "system/platform.h"

namespace tx {

// The rollback copy of one file while it is rewritten.  It is kept beside
// the file where the directory takes files, otherwise in the temporary
// directory, named by the file's identity, made new (never through a link)
// and readable by its owner alone.
class RollbackCopy {
 public:
  // Writes `old`, the bytes of the file at `path` (status `file`), and
  // flushes it with its directory.  A copy that cannot be written fails the
  // run, the file unchanged, with a message that names the way around it.
  RollbackCopy(const std::string& path, const platform::FileStatus& file, std::string_view old);
  RollbackCopy(const RollbackCopy&) = delete;
  RollbackCopy& operator=(const RollbackCopy&) = delete;

  const std::string& path() const { return path_; }
  // A put-back guard now holds the copy: it goes only once the old bytes
  // are back in the file.
  void handOver() noexcept;
  // The rewrite is on the disk: the copy goes, and its removal is flushed.
  // A failure is reported (the next reader would put the old bytes back).
  void remove();

 private:
  std::string path_;
  std::optional<exit_signals::RemoveOnExit> removal_;
};

// Looks for a rollback copy of the file at `path` that a rewrite cut short
// left: where the file does not hold the old bytes, they are put back and
// flushed; either way the copy goes.  Gives a note of what was done, or
// nothing where there was no copy.  A copy that cannot be applied fails the
// run with a message that names it.
std::optional<std::string> recoverFromRollbackCopy(const std::string& path);

// Recovers as above before `program` reads the database at `path`, with a
// line on `notes` where a copy was found:
//   <program>: note: "<path>": <what was done>
void recoverBeforeReading(const std::string& path, std::string_view program, std::FILE* notes);

}  // namespace tx
