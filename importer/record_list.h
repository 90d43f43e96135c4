// The importer's records in their final order.
#pragma once

#include <cstddef>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dbformat/database_format.h"

namespace tx {

// Owns every node and its text.  Nodes are linked through `next` in list
// order.  An index from each text's first line to the first node with that
// line keeps findByFirstLine at constant cost, so a whole merge stays linear.
class RecordList {
 public:
  RecordList() = default;
  RecordList(const RecordList&) = delete;
  RecordList& operator=(const RecordList&) = delete;

  // Puts `node` at the end.
  void append(RecordNodePtr node);

  // The first node in list order that matches `text` by its first line: when
  // `text` holds a line feed, a node whose text agrees with it up to and
  // including its first line feed; when it holds none, a node whose text is
  // exactly `text`.  Null when there is none.
  RecordNode* findByFirstLine(std::string_view text) const;

  // `replacement` takes the place of `old`, which is released.  Nothing
  // happens when `old` is not in the list.
  void replace(const RecordNode* old, RecordNodePtr replacement);

  void clear();

  std::size_t size() const { return nodes_.size(); }
  const RecordNode* first() const { return nodes_.empty() ? nullptr : nodes_.front().get(); }

 private:
  // What the first-line rule compares: the text up to and including its
  // first line feed, or the whole text when it has none.
  static std::string_view firstLineKey(std::string_view text);
  void link(std::size_t position);
  std::size_t positionOf(const RecordNode* node) const;
  // The index is built at the first search, in one pass over the list, so
  // that loading a database costs no hashing.
  void ensureIndex() const;
  void rebuildIndex() const;

  std::vector<RecordNodePtr> nodes_;
  // Keys view the text of the node at the position they map to.
  mutable std::unordered_map<std::string_view, std::size_t> firstByKey_;
  mutable bool indexed_ = false;
};

}  // namespace tx
