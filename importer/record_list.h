// The importer's records in their final order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "dbformat/database_format.h"
#include "importer/probe_table.h"
#include "system/large_memory.h"
#include "textformat/text_arena.h"

namespace tx {

// One ordered array of records, the storage of all their texts, and an
// index from each text's first line to the first record with that line,
// which keeps findByFirstLine at constant cost, so a whole merge stays
// linear.  The records that share a first line are chained in list order.
class RecordList {
 public:
  // Room for as many records as a database can hold, which takes memory
  // only as it is used, so that the array never moves.
  RecordList() {
    nodes_.reserve(kMaxRecords);
    keys_.reserve(kMaxRecords);
  }
  RecordList(const RecordList&) = delete;
  RecordList& operator=(const RecordList&) = delete;

  // Where the texts of the list's records are stored: a node given to
  // append() or replace() views its text here.
  TextArena& texts() { return texts_; }

  // Puts `node` at the end.  A list that already holds as many records as a
  // database can fails the run with `failureMessage`.
  void append(const Record& node, std::string_view failureMessage);

  // What the first-line rule compares: the text up to and including its
  // first line feed, or the whole text when it has none; kept for each node
  // as its length and hash, found while its text is fresh in the cache, so
  // that building and searching the index look at a text only to confirm a
  // match.
  struct Key {
    std::uint32_t length = 0;
    std::uint32_t hash = 0;
  };
  static Key keyOf(std::string_view text);

  // The first node in list order that matches `text` by its first line: when
  // `text` holds a line feed, a node whose text agrees with it up to and
  // including its first line feed; when it holds none, a node whose text is
  // exactly `text`.  Null when there is none.  Valid until the next append.
  const Record* findByFirstLine(std::string_view text) const { return findByFirstLine(text, keyOf(text)); }
  // The same, `key` being keyOf(text).
  const Record* findByFirstLine(std::string_view text, const Key& key) const;

  // A hint for a search of `key` soon to come, in three steps, each a few
  // searches before the next: 0 brings the index slot where it starts into
  // the cache, 1 the node that slot holds, 2 that node's text.  Nothing
  // changes, whatever the list holds by then.
  void prefetch(const Key& key, int step) const;

  // The next node after `node` in list order whose text has the same first
  // line, or null.  Valid until the next append.
  const Record* nextWithSameFirstLine(const Record* node) const;

  // Where `node`, a node of the list, stands in it: 0 for the first.
  std::size_t positionOf(const Record* node) const { return static_cast<std::size_t>(node - nodes_.data()); }

  // `replacement` takes the place of `old`.  Nothing happens when `old` is
  // not in the list.
  void replace(const Record* old, const Record& replacement);

  void clear();

  std::size_t size() const { return nodes_.size(); }
  std::span<const Record> records() const { return {nodes_.data(), nodes_.size()}; }

 private:
  // A slot of the index: a position (kEmpty for none; a list holds at most
  // 65535 records, so 0 to 65534) and the low bits of its key's hash.
  struct Slot {
    std::uint16_t position = kEmpty;
    std::uint16_t hash = 0;
    bool operator==(const Slot&) const = default;
  };
  static constexpr std::uint16_t kEmpty = 0xFFFF;
  static_assert(kMaxRecords <= kEmpty);

  bool keyMatches(std::size_t position, const Key& key, std::string_view text) const;
  // The index is built at the first search, in one pass over the keys.
  void ensureIndex() const;
  void rebuildIndex(std::size_t expected) const;
  // Indexes the node at `position`, growing the index first where it would
  // be more than half full.
  void index(std::size_t position) const;
  // Puts the node at `position` into an index with room for it.
  void insert(std::size_t position) const;

  std::vector<Record, LargeAllocator<Record>> nodes_;
  std::vector<Key, LargeAllocator<Key>> keys_;  // one for each node
  TextArena texts_;
  mutable ProbeTable<Slot> slots_;
  // For each position, the next one with the same first line (kEmpty for
  // none), and at the first of them, the last.
  mutable std::vector<std::uint16_t, LargeAllocator<std::uint16_t>> sameLineNext_;
  mutable std::vector<std::uint16_t, LargeAllocator<std::uint16_t>> sameLineLast_;
  mutable std::size_t indexed_ = 0;  // how many keys the index holds
  mutable bool built_ = false;
};

}  // namespace tx
