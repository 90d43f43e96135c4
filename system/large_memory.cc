#include "system/large_memory.h"

#include <utility>

#include "system/platform.h"

namespace tx {
namespace {

// Below this, memory comes from operator new as usual.
constexpr std::size_t kLarge = std::size_t{1} << 20;

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
  if (bytes_) releaseLarge(bytes_, size_);
}

void* allocateLarge(std::size_t size) {
  if (size < kLarge) return ::operator new(size);
  void* memory = platform::mapPages(size);
  if (!memory) throw std::bad_alloc();
  return memory;
}

void releaseLarge(void* pointer, std::size_t size) noexcept {
  if (size < kLarge) {
    ::operator delete(pointer);
    return;
  }
  platform::unmapPages(pointer, size);
}

}  // namespace tx
