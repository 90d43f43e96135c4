#include "system/mapped_file.h"

#include <cstdint>

#include "system/platform.h"

namespace tx {
namespace {

// The mappings the fault handler knows: a run maps two files at most (the
// old database and the text).  Each is published by one store of its
// address once complete, and withdrawn by one store before it is unmapped.
constexpr std::size_t kSlots = 4;
std::atomic<const MappedFile*> mappings[kSlots];
static_assert(std::atomic<const MappedFile*>::is_always_lock_free);

// The pages of a mapping reach to the end of its last page.
constexpr std::size_t kPage = 4096;

}  // namespace

MappedFile::MappedFile(int fd, std::size_t size, std::string_view message)
    : failure_(std::string(message) + ": " + std::string(kMappedBytesLost) + "\n") {
  platform::onReadFault(failureAt);
  for (std::atomic<const MappedFile*>& slot : mappings) {
    const MappedFile* none = nullptr;
    if (!slot.compare_exchange_strong(none, this)) continue;
    // Known to the handler before its first byte can be touched.
    const char* const bytes = static_cast<const char*>(platform::mapFile(fd, size));
    if (!bytes) {
      slot.store(nullptr);
      return;
    }
    size_ = size;
    bytes_ = bytes;
    return;
  }
}

MappedFile::~MappedFile() {
  if (!bytes_) return;
  for (std::atomic<const MappedFile*>& slot : mappings) {
    if (slot.load() == this) slot.store(nullptr);
  }
  platform::unmapFile(const_cast<char*>(bytes_), size_);
}

const char* MappedFile::failureAt(const void* address) noexcept {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  for (const std::atomic<const MappedFile*>& slot : mappings) {
    const MappedFile* mapping = slot.load();
    if (!mapping || !mapping->bytes_) continue;
    const auto start = reinterpret_cast<std::uintptr_t>(mapping->bytes_);
    if (at >= start && at - start < (mapping->size_ + kPage - 1) / kPage * kPage) return mapping->failure_.c_str();
  }
  return nullptr;
}

}  // namespace tx
