// Shared by the fuzz targets: failures become exceptions, inputs become files.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "system/fatal.h"
#include "system/file_io.h"

namespace txfuzz {

// The bytes as a file that the programs' own I/O reads.
class MemoryFile {
 public:
  MemoryFile(const std::uint8_t* data, std::size_t size) : fd_(::memfd_create("fuzz", 0)) {
    if (fd_ < 0 || !tx::writeAll(fd_, reinterpret_cast<const char*>(data), size) || ::lseek(fd_, 0, SEEK_SET) != 0) {
      std::abort();
    }
  }
  ~MemoryFile() { ::close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace txfuzz
