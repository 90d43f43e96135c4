// An update written into the old file, as its steps (update_mark.h):
// the rollback copy, the mark, the new bytes after it, the new first bytes,
// the copy removed.  The caller's descriptor holds the update lock for the
// whole of it, and from before the copy is made the rewrite lock as well,
// until it is closed, so that no reader reads the file meanwhile.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "system/platform.h"

namespace tx {

// Writes the new database of `size` bytes with `writeDatabase`, which
// writes all but its first `holdBack` bytes from the descriptor's position
// and returns those, into `fd` (the file at `path` as the user gave it, and
// `target` with links followed, whose directory takes the copy), whose
// bytes are `old` and whose status is `status`.  A failure or a signal
// before the new bytes are all on the disk puts the old ones back and
// removes the copy; where they cannot be put back, the copy stays and the
// message says so.
void writeIntoOldFile(int fd, const std::string& path, const std::string& target, const platform::FileStatus& status,
                      const std::string& old, std::uint64_t size,
                      const std::function<std::string(int fd, std::size_t holdBack)>& writeDatabase);

}  // namespace tx
