// Opening a database file, as both programs do: never while another program
// rewrites it, and never as a database while an update that was cut short
// has left it marked (see update_mark.h).
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "system/open_file.h"
#include "system/platform.h"

namespace tx {

inline constexpr std::string_view kAnotherImport = "another import is updating it";

enum class DatabaseAccess {
  // For reading: the descriptor holds a shared lock against a rewrite for
  // its life.
  Read,
  // For reading and writing, with the update lock: a file that another
  // import holds is refused with kAnotherImport.  With it held, no other
  // program starts to rewrite the file.
  Update,
};

// Opens the database at `path` (a failure fails the run with the "Can't
// open" message).  While another program rewrites the file, it waits a few
// seconds for the rewrite to end, then refuses with kAnotherImport.  A
// marked file is put back from its rollback copy first, with a note on
// `notes` ("<program>: note: "<path>": ..."), or refused with a message that
// names the copy; a copy of this file that an ended update left is
// removed, with a note.
FileDescriptor openDatabase(const std::string& path, DatabaseAccess access, std::string_view program,
                            std::FILE* notes);

// Takes a lock of `fd`'s, waiting a few seconds at most while another holds
// one that conflicts: false where it is still held then.
bool waitForLock(int fd, platform::LockByte which, bool exclusive);

// Where the rollback copy of the file at `path` (`target`, links followed,
// with `status`) is kept: beside it, where its directory takes new files and
// the path is short enough for the mark, else in this user's state folder;
// "" where neither is possible.
std::string rollbackCopyPath(const std::string& target, const platform::FileStatus& status);

}  // namespace tx
