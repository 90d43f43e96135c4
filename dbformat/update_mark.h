// What a database file holds while an update is written into it, and the
// rollback copy that keeps its old bytes meanwhile.
//
// An update written into the old file goes in steps, each on the disk
// before the next begins: the rollback copy; the mark, which takes the
// place of the header and of the bytes after it up to kMarkSize; the new
// bytes after the mark; the new first kMarkSize bytes; the copy removed.  A
// crash at any step leaves the old file, a marked file whose copy is
// complete, or the finished new file.
//
// The mark (kMarkSize bytes):
//   0    32  kMarkMagic, zero-padded (where the database's name stands)
//   60   8   kMarkType (where type and creator stand), so that no reader
//            takes the file for a database
//   68   18  the update's token, which its copy holds too
//   86   2   the copy's path length, big-endian
//   88   ... the copy's path, from the root; zeros to the end
//
// The rollback copy:
//   kCopyMagic, the token, the file's volume and index (8 bytes each,
//   big-endian), the old size and an FNV-1a checksum of the old bytes
//   (likewise), then the old bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tx {

// No database is smaller (header, record list header, app info block), so
// that the new bytes always cover the mark.
inline constexpr std::size_t kMarkSize = 388;
inline constexpr std::size_t kTokenSize = 18;
inline constexpr std::size_t kLongestCopyPath = kMarkSize - 88;

struct UpdateMark {
  std::string token;     // kTokenSize bytes
  std::string copyPath;  // at most kLongestCopyPath bytes
};

// The mark's kMarkSize bytes.
std::string markBytes(const UpdateMark& mark);
// The mark that `head` (a file's first bytes) starts with, if it has one.
std::optional<UpdateMark> readMark(std::string_view head);

struct RollbackCopyBytes {
  std::string token;
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  std::string_view old;  // within the bytes read
};

// The bytes of a rollback copy of `old`, the bytes of a file (volume,
// index).
std::string rollbackCopyBytes(std::string_view token, std::uint64_t volume, std::uint64_t index,
                              std::string_view old);
// The copy that `bytes` hold, if they are a complete and undamaged one.
std::optional<RollbackCopyBytes> readRollbackCopy(std::string_view bytes);

}  // namespace tx
