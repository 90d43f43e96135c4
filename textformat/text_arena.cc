#include "textformat/text_arena.h"

#include <algorithm>
#include <cstring>

namespace tx {

char* TextArena::allocate(std::size_t size) {
  filled_.emplace_back(size);
  return filled_.back().bytes();
}

void TextArena::grow(std::size_t needed) {
  const std::size_t building = blocks_.empty() ? 0 : blocks_.back().used - start_;
  Block block;
  block.size = std::max(blockSize_, building + needed);
  // Not zeroed: every byte handed out is written first.
  block.memory = LargeMemory(block.size);
  // The part of the text built so far moves along, so a text is never split.
  if (building > 0) std::memcpy(block.bytes(), blocks_.back().bytes() + start_, building);
  block.used = building;
  if (!blocks_.empty()) blocks_.back().used = start_;
  blocks_.push_back(std::move(block));
  start_ = 0;
}

void TextArena::append(std::string_view bytes) {
  if (blocks_.empty() || blocks_.back().size - blocks_.back().used < bytes.size()) {
    // Twice what the text needs so far, so that a long text moves only a
    // few times as it grows.
    const std::size_t building = blocks_.empty() ? 0 : blocks_.back().used - start_;
    grow(std::max(bytes.size(), building + bytes.size()));
  }
  Block& block = blocks_.back();
  if (!bytes.empty()) std::memcpy(block.bytes() + block.used, bytes.data(), bytes.size());
  block.used += bytes.size();
}

std::string_view TextArena::finish() {
  if (blocks_.empty()) return {};
  const Block& block = blocks_.back();
  return {block.bytes() + start_, block.used - start_};
}

void TextArena::abandon() {
  if (!blocks_.empty()) blocks_.back().used = start_;
}

}  // namespace tx
