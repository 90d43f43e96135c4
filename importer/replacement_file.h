// The importer's output, replaced as a whole or not at all.
#pragma once

#include <string>

#include "dbformat/open_file.h"

namespace tx {

// The new database is written to a file of its own beside the output and
// takes the output's name only once it is complete and on the disk, so a run
// that ends early leaves the output exactly as it was.  Where the system
// offers it, that file has no name while it is written, so that not even a
// killed process leaves it behind; elsewhere it is a hidden file
// ".<name>.TxImport-XXXXXX", removed on a failure or a catchable signal.
// A symbolic link named as the output is followed and its target replaced;
// an existing output that is not a regular file (a device, say) is written
// directly.
class ReplacementFile {
 public:
  // Opens the file to write.  A failure fails the run with the "Can't open"
  // message for `path` as given.
  explicit ReplacementFile(const std::string& path);
  // Without a commit, the new file is removed.
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  int fd() const { return file_.get(); }

  // Flushes the file to the disk, closes it and puts it in the output's place.
  void commit();

 private:
  bool openUnnamed(unsigned mode);
  void openNamed();
  void nameUnnamed();

  std::string path_;       // as the user gave it
  std::string target_;     // the file to replace, links followed
  std::string directory_;  // the target's directory
  std::string temporary_;  // the new file's name, while it has one
  FileDescriptor file_;
  bool unnamed_ = false;
  bool direct_ = false;
  bool committed_ = false;
};

}  // namespace tx
