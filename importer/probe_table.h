// An open-addressing table with linear probing, as both of the merge's
// indexes use it: the slots, a power of two of them, hold small values of
// the caller's (a position or an id with a few bits of its hash), and the
// caller says which slot matches.  The caller keeps it at most half full,
// so every probe ends at an empty slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "system/large_memory.h"

namespace tx {

// `Slot` is a small value whose default is the empty slot.
template <class Slot>
class ProbeTable {
 public:
  // `size` empty slots; a power of two.
  void reset(std::size_t size) { slots_.assign(size, Slot{}); }
  void clear() { slots_.clear(); }
  std::size_t size() const { return slots_.size(); }
  bool empty() const { return slots_.empty(); }

  // From `hash`'s slot on, the first slot that is empty or for which
  // `matches(slot)` holds.  The table must not be empty.
  template <class Matches>
  Slot& probe(std::uint32_t hash, Matches&& matches) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot == Slot{} || matches(slot)) return slot;
    }
  }
  // The first slot a probe from `hash` looks at.
  const Slot& home(std::uint32_t hash) const { return slots_[hash & (slots_.size() - 1)]; }

  template <class Matches>
  const Slot& probe(std::uint32_t hash, Matches&& matches) const {
    return const_cast<ProbeTable*>(this)->probe(hash, matches);
  }

 private:
  std::vector<Slot, LargeAllocator<Slot>> slots_;
};

}  // namespace tx
