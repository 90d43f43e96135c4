// Storage for the texts of many records: large blocks that never move, so
// that a text, once stored, stays where it is for the arena's life, and no
// record costs an allocation of its own.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "system/large_memory.h"

namespace tx {

class TextArena {
 public:
  explicit TextArena(std::size_t blockSize = std::size_t{4} << 20) : blockSize_(blockSize) {}
  TextArena(const TextArena&) = delete;
  TextArena& operator=(const TextArena&) = delete;

  // A block of `size` bytes of its own, for the caller to fill (a whole
  // database file, say); the arena owns it.  No text is built in it.
  char* allocate(std::size_t size);

  // A text is built piece by piece: begin(), append() as often as needed,
  // then finish() gives it.  Only one text is built at a time.
  void begin() { start_ = blocks_.empty() ? 0 : blocks_.back().used; }
  void append(std::string_view bytes);
  void push_back(char byte) { append(std::string_view(&byte, 1)); }
  std::string_view finish();
  // Drops the text being built.
  void abandon();
  // Drops `count` bytes from the end of the text being built.
  void trim(std::size_t count) { blocks_.back().used -= count; }

  std::string_view store(std::string_view bytes) {
    begin();
    append(bytes);
    return finish();
  }

  void clear() {
    blocks_.clear();
    filled_.clear();
  }

 private:
  struct Block {
    LargeMemory memory;
    std::size_t size = 0;
    std::size_t used = 0;
    char* bytes() const { return memory.bytes(); }
  };
  void grow(std::size_t needed);

  std::vector<Block> blocks_;
  std::vector<LargeMemory> filled_;  // blocks that allocate() handed out
  std::size_t start_ = 0;  // in the last block: where the text being built begins
  std::size_t blockSize_;
};

}  // namespace tx
