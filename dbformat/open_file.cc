#include "dbformat/open_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dbformat/fatal.h"

namespace tx {

std::string cantOpenMessage(const std::string& path, std::string_view reason) {
  std::string message = "Can't open \"" + path + "\": ";
  message.append(reason);
  return message;
}

void failToOpen(const std::string& path, std::string_view reason) { fatalMessage(cantOpenMessage(path, reason)); }

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

int FileDescriptor::release() noexcept {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void FileDescriptor::close(std::string_view message) {
  if (::close(release()) != 0) fatalSystemError(message);
}

FileDescriptor openForReading(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) failToOpen(path, std::strerror(errno));
  return FileDescriptor(fd);
}

bool sameFile(int fd, const std::string& path) {
  struct stat opened {};
  struct stat named {};
  if (::fstat(fd, &opened) != 0 || ::stat(path.c_str(), &named) != 0) return false;
  return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

}  // namespace tx

namespace tx {

bool sameFile(int fd, int other) {
  struct stat first {};
  struct stat second {};
  if (::fstat(fd, &first) != 0 || ::fstat(other, &second) != 0) return false;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

}  // namespace tx
