// A file read by mapping it into memory, where the host can: its bytes are
// used where the kernel keeps them, with no copy and no fresh page cleared.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

namespace tx {

// Why a mapped byte could not be read.
inline constexpr std::string_view kMappedBytesLost =
    "part of the file could not be read any more: another program cut it short, or the disk failed";

class MappedFile {
 public:
  // Maps the first `size` bytes of the regular file open as `fd`; mapped()
  // says whether that was done (nowhere on some hosts; never for an empty
  // file), and the caller reads the file where it was not.  Where the file
  // shrinks while it is mapped (another program cuts it), a byte past its
  // new end cannot be read: the run then ends as a failure would, with
  // "<message>: <kMappedBytesLost>" on standard error ("Error reading text
  // file: ..."), what is armed undone, and status 1.
  MappedFile(int fd, std::size_t size, std::string_view message);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  bool mapped() const { return bytes_ != nullptr; }
  const char* bytes() const { return bytes_; }
  std::size_t size() const { return size_; }

  // The failure of the mapping that holds `address`, or null: what the
  // fault handler asks.  Async-signal-safe.
  static const char* failureAt(const void* address) noexcept;

 private:
  const char* bytes_ = nullptr;
  std::size_t size_ = 0;
  const std::string failure_;
};

}  // namespace tx
