#include "dbformat/open_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dbformat/fatal.h"

namespace tx {

std::string cantOpenMessage(const std::string& path, const std::string& reason) {
  return "Can't open \"" + path + "\": " + reason;
}

int openForReading(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fatalMessage(cantOpenMessage(path, std::strerror(errno)));
  return fd;
}

bool sameFile(int fd, const std::string& path) {
  struct stat opened {};
  struct stat named {};
  if (::fstat(fd, &opened) != 0 || ::stat(path.c_str(), &named) != 0) return false;
  return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

void closeOrFail(int fd, const char* message) {
  if (::close(fd) != 0) fatalSystemError(message);
}

}  // namespace tx
