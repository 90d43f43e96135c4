// A new file beside an existing or missing one, which takes its place only
// once it is complete and on the disk: until then the file at that place is
// exactly as it was, whatever ends the run.
#pragma once

#include <optional>
#include <string>

#include "system/exit_signals.h"
#include "system/open_file.h"

namespace tx {

class FileBeside {
 public:
  // For the file at `target` (links followed), in its directory: a file
  // with no name where the host has one, otherwise a hidden one named
  // ".<name><tag>XXXXXX", removed on a failure or a catchable signal.
  FileBeside(std::string target, std::string tag);
  // Without put(), the new file goes.
  ~FileBeside();
  FileBeside(const FileBeside&) = delete;
  FileBeside& operator=(const FileBeside&) = delete;

  // Makes the new file, with what the file at `target` has besides its bytes
  // (owner, group, permission bits, ACL, extended attributes) where
  // `existing`, else with the permissions a new file gets.  False where the
  // directory takes no new file or any of that cannot be given.
  bool open(bool existing);
  int fd() const { return file_.get(); }
  // Flushes the new file and puts it in the target's place, on the disk.
  // False with errno set where that fails; the target is then as it was.
  bool put();

 private:
  std::string target_;
  std::string directory_;
  std::string tag_;
  FileDescriptor file_;
  bool unnamed_ = false;
  std::optional<exit_signals::RemoveOnExit> temporary_;
  bool done_ = false;
};

}  // namespace tx
