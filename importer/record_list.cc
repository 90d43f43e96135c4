#include "importer/record_list.h"

#include <cstring>
#include <functional>

#include "dbformat/fatal.h"

namespace tx {

std::string_view RecordList::firstLineKey(std::string_view text) {
  if (text.empty()) return text;
  const void* feed = std::memchr(text.data(), '\n', text.size());
  if (!feed) return text;
  return text.substr(0, static_cast<std::size_t>(static_cast<const char*>(feed) - text.data()) + 1);
}

void RecordList::append(const RecordNode& node, std::string_view failureMessage) {
  if (nodes_.size() >= kMaxRecords) fatalError(failureMessage, kTooManyRecords);
  // The array has room for every record a list can hold, so it never moves
  // and the links stay good.
  nodes_.push_back(node);
  nodes_.back().next = nullptr;
  if (nodes_.size() > 1) nodes_[nodes_.size() - 2].next = &nodes_.back();
  if (built_) index(nodes_.size() - 1);
}

void RecordList::index(std::size_t position) const {
  if ((indexed_ + 1) * 2 > slots_.size()) {
    // Twice the keys it holds: rebuilt only a few times over a merge.
    rebuildIndex(2 * (indexed_ + 1));
    return;
  }
  const std::string_view key = firstLineKey(nodes_[position].text);
  const std::size_t hash = std::hash<std::string_view>{}(key);
  const std::size_t mask = slots_.size() - 1;
  const auto shortHash = static_cast<std::uint16_t>(hash >> 48);
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.position == kEmpty) {
      slot = {static_cast<std::uint16_t>(position), shortHash};
      ++indexed_;
      return;
    }
    // The first node with a key keeps it.
    if (slot.hash == shortHash && firstLineKey(nodes_[slot.position].text) == key) return;
  }
}

void RecordList::rebuildIndex(std::size_t expected) const {
  // Room for the records to come as well (a merge adds at most the records
  // of its text file, often about half as many again), at most half full.
  std::size_t size = 64;
  while (size < expected + expected / 2 + 16) size *= 2;
  slots_.assign(size, Slot{});
  indexed_ = 0;
  built_ = true;
  for (std::size_t position = 0; position < nodes_.size(); ++position) index(position);
}

void RecordList::ensureIndex() const {
  if (!built_) rebuildIndex(nodes_.size());
}

const RecordNode* RecordList::findByFirstLine(std::string_view text) const {
  ensureIndex();
  const std::string_view key = firstLineKey(text);
  const std::size_t hash = std::hash<std::string_view>{}(key);
  const std::size_t mask = slots_.size() - 1;
  const auto shortHash = static_cast<std::uint16_t>(hash >> 48);
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.position == kEmpty) return nullptr;
    const RecordNode& node = nodes_[slot.position];
    if (slot.hash == shortHash && firstLineKey(node.text) == key) return &node;
  }
}

void RecordList::replace(const RecordNode* old, const RecordNode& replacement) {
  if (nodes_.empty() || old < nodes_.data() || old >= nodes_.data() + nodes_.size()) return;
  RecordNode& place = nodes_[static_cast<std::size_t>(old - nodes_.data())];
  const bool sameKey = firstLineKey(place.text) == firstLineKey(replacement.text);
  RecordNode* const next = place.next;
  place = replacement;
  place.next = next;
  // The index holds positions, so a replacement with the same first line
  // leaves it right; another first line changes which node comes first.
  if (!sameKey && built_) rebuildIndex(nodes_.size());
}

void RecordList::clear() {
  nodes_.clear();
  texts_.clear();
  slots_.clear();
  indexed_ = 0;
  built_ = false;
}

}  // namespace tx
