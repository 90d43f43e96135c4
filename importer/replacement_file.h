// The importer's output, replaced as a whole or not at all.
#pragma once

#include <string>

namespace tx {

// The new database goes to a temporary file beside the output and takes the
// output's name only once it is complete and on the disk, so a failing run
// leaves the output exactly as it was.  A symbolic link named as the output
// is followed and its target replaced; an existing output that is not a
// regular file (a device, say) is written directly.
class ReplacementFile {
 public:
  // Opens the file to write.  A failure prints the "Can't open" message for
  // `path` as given and ends the process.  A failing process removes the
  // temporary file on its way out.
  explicit ReplacementFile(const std::string& path);
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  int fd() const { return fd_; }

  // Flushes the file to the disk, closes it and puts it in the output's place.
  void commit();

 private:
  std::string path_;     // as the user gave it
  std::string target_;   // the file to replace, links followed
  std::string temporary_;  // empty when writing directly
  int fd_ = -1;
};

}  // namespace tx
