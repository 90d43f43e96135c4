// Memory for large buffers (a whole database, the record array, the index).
// Touching fresh memory a small page at a time costs more than anything else
// the importer does, so large buffers are mapped on their own and asked for
// in huge pages where the host has them.
#pragma once

#include <cstddef>
#include <new>

namespace tx {

// A buffer that is filled at once is best asked for as at least one huge
// page of this size: touching fresh memory a small page at a time costs
// more than having a whole huge page cleared.
inline constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

class LargeMemory {
 public:
  LargeMemory() = default;
  // Not zeroed.  Fails with std::bad_alloc.
  explicit LargeMemory(std::size_t size);
  LargeMemory(LargeMemory&& other) noexcept;
  LargeMemory& operator=(LargeMemory&& other) noexcept;
  LargeMemory(const LargeMemory&) = delete;
  LargeMemory& operator=(const LargeMemory&) = delete;
  ~LargeMemory();

  char* bytes() const { return bytes_; }

 private:
  char* bytes_ = nullptr;
  std::size_t size_ = 0;
};

// An allocator for std::vector that takes large arrays from LargeMemory.
template <class T>
class LargeAllocator {
 public:
  using value_type = T;
  LargeAllocator() = default;
  template <class U>
  explicit LargeAllocator(const LargeAllocator<U>&) {}

  T* allocate(std::size_t count);
  void deallocate(T* pointer, std::size_t count) noexcept;

  bool operator==(const LargeAllocator&) const { return true; }
};

// The raw calls behind LargeAllocator.
void* allocateLarge(std::size_t size);
void releaseLarge(void* pointer, std::size_t size) noexcept;

template <class T>
T* LargeAllocator<T>::allocate(std::size_t count) {
  if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
  return static_cast<T*>(allocateLarge(count * sizeof(T)));
}

template <class T>
void LargeAllocator<T>::deallocate(T* pointer, std::size_t count) noexcept {
  releaseLarge(pointer, count * sizeof(T));
}

}  // namespace tx
