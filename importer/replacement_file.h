// The importer's output, replaced as a whole or not at all.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "system/exit_signals.h"
#include "system/open_file.h"
#include "system/platform.h"

namespace tx {

inline constexpr std::string_view kAnotherImport = "another import is updating it";

// How the new database reaches the output.
//
// Replace: it is written to a file of its own beside the output, which takes
// the output's name only once it is complete and on the disk, so a run that
// ends early leaves the output exactly as it was.  Where the system offers
// it, that file has no name while it is written, so that not even a killed
// process leaves it behind; elsewhere it is a hidden file
// ".<name>.TxImport-XXXXXX", removed on a failure or a catchable signal.  It
// is given the old file's permission bits, owner, group, ACL and extended
// attributes first.
//
// InPlace: where a new file could not keep all of that (other hard links, an
// owner or an attribute that cannot be set, a directory where no file can
// be created), the new database is written into the old file, whose old
// bytes are kept in memory and written back on a failure or a catchable
// signal.  A power loss or SIGKILL in the middle of that write can leave the
// file damaged.
//
// Direct: an existing output that is not a regular file (a device, say) is
// simply written.
//
// A symbolic link named as the output is followed by the kernel, with its
// protections against links planted by other users, and its target
// written; a link to nothing has its target made.
class ReplacementFile {
 public:
  // Makes sure, before any question is asked, that the output can be
  // written; a failure fails the run with the "Can't open" message for
  // `path` as given.  `oldDatabase` is the old database's status as it was
  // read, where the output is that same file: the update is then refused if
  // another program changes the file meanwhile.
  // `oldBytes` are the bytes of the old database as they were read.
  ReplacementFile(const std::string& path, std::optional<platform::FileStatus> oldDatabase,
                  std::string_view oldBytes = {});
  // Without a completed write, the new file is removed.
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  enum class Mode { Replace, InPlace, Direct };
  // What new file the directory can take: an unnamed one, a named one, or
  // none.
  enum class NewFile { Unnamed, Named, None };
  // How the new database reaches an output found as `existing` (none: no
  // file there), given the new file the directory takes and, for an
  // unnamed one, whether it could be given the old file's owner,
  // permissions and attributes.  None: it cannot be written at all.
  static std::optional<Mode> modeFor(const std::optional<platform::FileStatus>& existing, NewFile newFile,
                                     bool identityKept);

  // Writes the new database of `size` bytes with `writeDatabase`, which
  // writes it to the descriptor it is given from its current position, and
  // puts it in the output's place, on the disk.
  void write(std::uint64_t size, const std::function<void(int fd)>& writeDatabase);

 private:
  NewFile openNewFile();
  void openNamed();
  void nameUnnamed();
  bool keepIdentity();
  void checkUnchanged(const platform::FileStatus& now, std::optional<std::string_view> bytes) const;
  std::string currentBytes(const platform::FileStatus& now) const;
  void commit() noexcept;
  void replace(std::uint64_t size, const std::function<void(int fd)>& writeDatabase);
  void writeInPlace(std::uint64_t size, const std::function<void(int fd)>& writeDatabase);

  std::string path_;       // as the user gave it
  std::string target_;     // the file to write, links followed
  std::string directory_;  // the target's directory
  std::optional<exit_signals::RemoveOnExit> temporary_;  // the new file's name, while it has one
  std::optional<platform::FileStatus> existing_;  // the target as it was found
  std::optional<platform::FileStatus> oldDatabase_;
  std::string_view oldBytes_;
  FileDescriptor held_;  // another database named as the output, locked
  // The status the output must still have when it is written: the old
  // database's as read, or another database's as found.
  std::optional<platform::FileStatus> expected_;
  std::optional<exit_signals::RemoveOnExit> madeTarget_;  // what a link to nothing named, made here
  FileDescriptor file_;
  Mode mode_ = Mode::Replace;
  bool unnamed_ = false;
  bool committed_ = false;
};

}  // namespace tx
