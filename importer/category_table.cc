#include "importer/category_table.h"

#include <cstring>

namespace tx {

ResolvedCategory CategoryTable::resolve(std::string_view name) {
  // A slot holds at most 15 characters and their terminating zero.
  if (name.size() > kMaxCategoryNameLength) name = name.substr(0, kMaxCategoryNameLength);
  for (std::size_t slot = 0; slot < kCategoryCount; ++slot) {
    if (categoryName(block_.data(), slot) == name) return {static_cast<std::uint8_t>(slot)};
  }
  for (std::size_t slot = 0; slot < kCategoryCount; ++slot) {
    std::uint8_t* slotName = &block_[kCategoryNamesOffset + slot * kCategoryNameSize];
    if (slotName[0] != 0) continue;
    // The name and its terminating zero; the slot's other bytes stay.
    std::memcpy(slotName, name.data(), name.size());
    slotName[name.size()] = 0;
    std::uint8_t id = block_[kLastUniqueIdOffset];
    bool taken;
    do {
      ++id;
      taken = false;
      for (std::size_t other = 0; other < kCategoryCount; ++other) taken |= block_[kCategoryIdsOffset + other] == id;
    } while (taken);
    block_[kCategoryIdsOffset + slot] = id;
    block_[kLastUniqueIdOffset] = id;
    return {static_cast<std::uint8_t>(slot)};
  }
  return {0, true};
}

}  // namespace tx
