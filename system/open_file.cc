#include "system/open_file.h"

#include <cerrno>
#include <cstring>

#include "system/fatal.h"
#include "system/platform.h"

namespace tx {

std::string cantOpenMessage(const std::string& path, std::string_view reason) {
  std::string message = "Can't open \"" + path + "\": ";
  message.append(reason);
  return message;
}

void failToOpen(const std::string& path, std::string_view reason) { fatalMessage(cantOpenMessage(path, reason)); }

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) platform::closeFile(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) platform::closeFile(fd_);
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
  if (platform::closeFile(release()) != 0) fatalSystemError(message);
}

FileDescriptor openForReading(const std::string& path) {
  const int fd = platform::openForReading(path);
  if (fd < 0) failToOpen(path, platform::errorText(errno));
  return FileDescriptor(fd);
}

bool sameFile(int fd, const std::string& path) {
  platform::FileStatus opened;
  platform::FileStatus named;
  return platform::status(fd, opened) && platform::status(path, named) && platform::sameFile(opened, named);
}

}  // namespace tx

namespace tx {

bool sameFile(int fd, int other) {
  platform::FileStatus first;
  platform::FileStatus second;
  return platform::status(fd, first) && platform::status(other, second) && platform::sameFile(first, second);
}

}  // namespace tx
