// Opening the files named on the command line, and the message that answers
// a failure to open one.
#pragma once

#include <string>

namespace tx {

// The message for a path that cannot be opened: "Can't open "<path>": " and
// the reason, with no line end.
std::string cantOpenMessage(const std::string& path, const std::string& reason);

// Opens `path` for reading; on failure prints the "Can't open" message on
// standard output and ends the process with status 1.
int openForReading(const std::string& path);

// True when both paths name one existing file (through links or other
// spellings too).
bool sameFile(int fd, const std::string& path);

// Closes `fd`; a failure ends the process with `message` and the system's text.
void closeOrFail(int fd, const char* message);

}  // namespace tx
