#include "importer/record_list.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "system/fatal.h"

namespace tx {

RecordList::Key RecordList::keyOf(std::string_view text) {
  const void* feed = text.empty() ? nullptr : std::memchr(text.data(), '\n', text.size());
  if (feed) text = text.substr(0, static_cast<std::size_t>(static_cast<const char*>(feed) - text.data()) + 1);
  // A text is shorter than a database, so its length fits.
  return {static_cast<std::uint32_t>(text.size()), static_cast<std::uint32_t>(std::hash<std::string_view>{}(text))};
}

bool RecordList::keyMatches(std::size_t position, const Key& key, std::string_view text) const {
  const Key& other = keys_[position];
  return other.hash == key.hash && other.length == key.length &&
         (key.length == 0 || std::memcmp(nodes_[position].text.data(), text.data(), key.length) == 0);
}

void RecordList::append(const Record& node, std::string_view failureMessage) {
  if (nodes_.size() >= kMaxRecords) fatalError(failureMessage, kTooManyRecords);
  // The array has room for every record a list can hold, so it never moves
  // and what points into it stays good.
  nodes_.push_back(node);
  keys_.push_back(keyOf(node.text));
  if (built_) index(nodes_.size() - 1);
}

void RecordList::index(std::size_t position) const {
  if ((indexed_ + 1) * 2 > slots_.size()) {
    // Twice the keys it holds: rebuilt only a few times over a merge.  The
    // rebuild indexes every node, this one included.
    rebuildIndex(2 * (indexed_ + 1));
    return;
  }
  insert(position);
}

void RecordList::insert(std::size_t position) const {
  const Key& key = keys_[position];
  const auto shortHash = static_cast<std::uint16_t>(key.hash >> 16);
  const auto self = static_cast<std::uint16_t>(position);
  if (position >= sameLineNext_.size()) {
    sameLineNext_.resize(std::max(2 * sameLineNext_.size(), position + 1));
    sameLineLast_.resize(sameLineNext_.size());
  }
  sameLineNext_[position] = kEmpty;
  Slot& slot = slots_.probe(key.hash, [&](const Slot& other) {
    return other.hash == shortHash && keyMatches(other.position, key, nodes_[position].text);
  });
  if (slot == Slot{}) {
    slot = {self, shortHash};
    sameLineLast_[position] = self;
    ++indexed_;
    return;
  }
  // The first node with a key keeps it; the others join its chain.
  std::uint16_t& last = sameLineLast_[slot.position];
  sameLineNext_[last] = self;
  last = self;
}

void RecordList::rebuildIndex(std::size_t expected) const {
  // At most half full with the records to come as well (a merge adds at
  // most the records of its text file, often about half as many again).
  // Every node is inserted once, without the growth check of index(): a
  // rebuild never starts another one, which would index the nodes after it
  // a second time, each joining its own chain.
  const std::size_t room = std::max(expected, nodes_.size());
  std::size_t size = 64;
  while (size < 2 * (room + room / 2) + 16) size *= 2;
  slots_.reset(size);
  sameLineNext_.resize(std::max(sameLineNext_.size(), nodes_.size()));
  sameLineLast_.resize(sameLineNext_.size());
  indexed_ = 0;
  built_ = true;
  for (std::size_t position = 0; position < nodes_.size(); ++position) insert(position);
}

void RecordList::ensureIndex() const {
  if (!built_) rebuildIndex(nodes_.size());
}

const Record* RecordList::findByFirstLine(std::string_view text, const Key& key) const {
  ensureIndex();
  const auto shortHash = static_cast<std::uint16_t>(key.hash >> 16);
  const Slot& slot = slots_.probe(key.hash, [&](const Slot& other) {
    return other.hash == shortHash && keyMatches(other.position, key, text);
  });
  return slot == Slot{} ? nullptr : &nodes_[slot.position];
}

void RecordList::prefetch(const Key& key, int step) const {
  ensureIndex();
  const Slot& slot = slots_.home(key.hash);
  if (step == 0) {
    __builtin_prefetch(&slot);
    return;
  }
  if (slot == Slot{} || slot.hash != static_cast<std::uint16_t>(key.hash >> 16)) return;
  const Record& node = nodes_[slot.position];
  if (step == 1) {
    __builtin_prefetch(&node);
    __builtin_prefetch(&keys_[slot.position]);
    return;
  }
  // The text's first line, and the line after it, which the comparison of
  // two records reads next.
  __builtin_prefetch(node.text.data());
  __builtin_prefetch(node.text.data() + std::min<std::size_t>(node.text.size(), 64));
}

const Record* RecordList::nextWithSameFirstLine(const Record* node) const {
  ensureIndex();
  const std::uint16_t next = sameLineNext_[positionOf(node)];
  return next == kEmpty ? nullptr : &nodes_[next];
}

void RecordList::replace(const Record* old, const Record& replacement) {
  if (nodes_.empty() || old < nodes_.data() || old >= nodes_.data() + nodes_.size()) return;
  const auto position = static_cast<std::size_t>(old - nodes_.data());
  Record& place = nodes_[position];
  const Key key = keyOf(replacement.text);
  const bool sameKey = keyMatches(position, key, replacement.text);
  place = replacement;
  keys_[position] = key;
  // The index holds positions, so a replacement with the same first line
  // leaves it right; another first line changes which node comes first.
  if (!sameKey && built_) rebuildIndex(nodes_.size());
}

void RecordList::clear() {
  nodes_.clear();
  keys_.clear();
  texts_.clear();
  slots_.clear();
  sameLineNext_.clear();
  sameLineLast_.clear();
  indexed_ = 0;
  built_ = false;
}

}  // namespace tx
