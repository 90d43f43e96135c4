#include "dbformat/large_memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <utility>

namespace tx {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Below this, memory comes from operator new as usual.
constexpr std::size_t kLarge = std::size_t{1} << 20;

std::size_t mappedSizeFor(std::size_t size) {
  // Whole huge pages, and room to start at a huge-page boundary.
  return (size + kHugePage - 1) / kHugePage * kHugePage + kHugePage;
}

char* alignedStart(void* mapped) {
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(mapped);
  return static_cast<char*>(mapped) + ((kHugePage - start % kHugePage) % kHugePage);
}

void* map(std::size_t mappedSize) {
  void* mapped = ::mmap(nullptr, mappedSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  char* start = alignedStart(mapped);
  ::madvise(start, mappedSize - static_cast<std::size_t>(start - static_cast<char*>(mapped)), MADV_HUGEPAGE);
#endif
  return mapped;
}

}  // namespace

LargeMemory::LargeMemory(std::size_t size) : bytes_(static_cast<char*>(allocateLarge(size))), size_(size) {}

LargeMemory::LargeMemory(LargeMemory&& other) noexcept
    : bytes_(std::exchange(other.bytes_, nullptr)), size_(std::exchange(other.size_, 0)) {}

LargeMemory& LargeMemory::operator=(LargeMemory&& other) noexcept {
  if (this != &other) {
    LargeMemory old(std::move(*this));
    bytes_ = std::exchange(other.bytes_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

LargeMemory::~LargeMemory() {
  if (bytes_) deallocateLarge(bytes_, size_);
}

// A large block is mapped a huge page larger than it needs, so that it can
// start at a huge-page boundary; the slack on either side is given back at
// once, so the block is unmapped from its start by its size alone.
void* allocateLarge(std::size_t size) {
  if (size < kLarge) return ::operator new(size);
  const std::size_t mappedSize = mappedSizeFor(size);
  void* mapped = map(mappedSize);
  char* start = alignedStart(mapped);
  // Give back the slack before and after the aligned part at once.
  const std::size_t before = static_cast<std::size_t>(start - static_cast<char*>(mapped));
  if (before > 0) ::munmap(mapped, before);
  const std::size_t kept = mappedSize - kHugePage;
  const std::size_t after = mappedSize - before - kept;
  if (after > 0) ::munmap(start + kept, after);
  return start;
}

void deallocateLarge(void* pointer, std::size_t size) noexcept {
  if (size < kLarge) {
    ::operator delete(pointer);
    return;
  }
  ::munmap(pointer, mappedSizeFor(size) - kHugePage);
}

}  // namespace tx
