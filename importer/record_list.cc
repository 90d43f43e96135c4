#include "importer/record_list.h"

namespace tx {

std::string_view RecordList::firstLineKey(std::string_view text) {
  const std::size_t feed = text.find('\n');
  return feed == std::string_view::npos ? text : text.substr(0, feed + 1);
}

void RecordList::link(std::size_t position) {
  RecordNode* node = nodes_[position].get();
  node->next = position + 1 < nodes_.size() ? nodes_[position + 1].get() : nullptr;
  if (position > 0) nodes_[position - 1]->next = node;
}

void RecordList::append(RecordNodePtr node) {
  const std::size_t position = nodes_.size();
  firstByKey_.try_emplace(std::string(firstLineKey(node->text)), position);
  positions_.emplace(node.get(), position);
  nodes_.push_back(std::move(node));
  link(position);
}

RecordNode* RecordList::findByFirstLine(std::string_view text) const {
  const auto found = firstByKey_.find(std::string(firstLineKey(text)));
  return found == firstByKey_.end() ? nullptr : nodes_[found->second].get();
}

void RecordList::replace(const RecordNode* old, RecordNodePtr replacement) {
  const auto found = positions_.find(old);
  if (found == positions_.end()) return;
  const std::size_t position = found->second;
  const bool sameKey = firstLineKey(old->text) == firstLineKey(replacement->text);
  positions_.erase(found);
  positions_.emplace(replacement.get(), position);
  nodes_[position] = std::move(replacement);
  link(position);
  // The merge only replaces a node by one with the same first line, which
  // leaves the index as it is; any other replacement re-indexes the list.
  if (!sameKey) rebuildIndex();
}

void RecordList::rebuildIndex() {
  firstByKey_.clear();
  for (std::size_t position = 0; position < nodes_.size(); ++position) {
    firstByKey_.try_emplace(std::string(firstLineKey(nodes_[position]->text)), position);
  }
}

void RecordList::clear() {
  firstByKey_.clear();
  positions_.clear();
  nodes_.clear();
}

}  // namespace tx
