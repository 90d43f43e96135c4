// The importer's output, replaced as a whole or not at all.
#pragma once

#include <cstdint>
#include <functional>
#include <cstdio>
#include <optional>
#include <string>

#include "dbformat/database_file.h"
#include "system/exit_signals.h"
#include "system/open_file.h"
#include "system/platform.h"

namespace tx {

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
// be created), the new database is written into the old file, in the steps
// of writeIntoOldFile(): a crash or a power cut leaves the old file, the
// new one, or a marked one that the next run puts back from its rollback
// copy.
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
  // another program changes the file meanwhile; `oldFile` is then its
  // descriptor, open for writing with the update lock, which this object
  // holds until the update is complete, and `oldBytes` its bytes as read.
  // Another database named as the output is opened so here, `notes`
  // hearing of what its opening did.  A path that names nothing at the
  // start is never given to a file that another program puts there
  // meanwhile.
  ReplacementFile(const std::string& path, std::optional<platform::FileStatus> oldDatabase,
                  std::string_view oldBytes = {}, FileDescriptor oldFile = FileDescriptor(),
                  std::FILE* notes = nullptr);
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
  // With `holdBack` > 0 it writes all but its first `holdBack` bytes and
  // returns those.
  using DatabaseWriter = std::function<std::string(int fd, std::size_t holdBack)>;
  void write(std::uint64_t size, const DatabaseWriter& writeDatabase);

 private:
  NewFile openNewFile();
  void openNamed();
  void nameUnnamed();
  bool keepIdentity();
  void checkUnchanged(const platform::FileStatus& now, std::optional<std::string_view> bytes) const;
  std::string currentBytes(const platform::FileStatus& now) const;
  void commit() noexcept;
  void replace(std::uint64_t size, const DatabaseWriter& writeDatabase);
  void putInPlace();
  void writeInPlace(std::uint64_t size, const DatabaseWriter& writeDatabase);

  std::string path_;       // as the user gave it
  std::string target_;     // the file to write, links followed
  std::string directory_;  // the target's directory
  std::optional<exit_signals::RemoveOnExit> temporary_;  // the new file's name, while it has one
  std::optional<platform::FileStatus> existing_;  // the target as it was found
  std::optional<platform::FileStatus> oldDatabase_;
  std::string_view oldBytes_;
  // The output where it is a database (the old one, or another named as
  // the output): open for writing, with the update lock.
  FileDescriptor held_;
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
