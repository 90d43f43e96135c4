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
  nodes_.push_back(std::move(node));
  if (indexed_) firstByKey_.try_emplace(firstLineKey(nodes_.back()->text), position);
  link(position);
}

RecordNode* RecordList::findByFirstLine(std::string_view text) const {
  ensureIndex();
  const auto found = firstByKey_.find(firstLineKey(text));
  return found == firstByKey_.end() ? nullptr : nodes_[found->second].get();
}

std::size_t RecordList::positionOf(const RecordNode* node) const {
  ensureIndex();
  // The merge replaces only nodes that the index gave it, found at once;
  // any other node is looked for in order.
  const auto indexed = firstByKey_.find(firstLineKey(node->text));
  if (indexed != firstByKey_.end() && nodes_[indexed->second].get() == node) return indexed->second;
  for (std::size_t position = 0; position < nodes_.size(); ++position) {
    if (nodes_[position].get() == node) return position;
  }
  return nodes_.size();
}

void RecordList::replace(const RecordNode* old, RecordNodePtr replacement) {
  const std::size_t position = positionOf(old);
  if (position == nodes_.size()) return;
  const std::string_view oldKey = firstLineKey(old->text);
  if (oldKey != firstLineKey(replacement->text)) {
    nodes_[position] = std::move(replacement);
    link(position);
    rebuildIndex();
    return;
  }
  // Same first line, so the index keeps its shape; a key that viewed the old
  // text must view the new one before the old text goes.
  const auto indexed = firstByKey_.find(oldKey);
  const bool rekey = indexed->second == position;
  auto handle = rekey ? firstByKey_.extract(indexed) : decltype(firstByKey_)::node_type{};
  nodes_[position] = std::move(replacement);
  link(position);
  if (rekey) {
    handle.key() = firstLineKey(nodes_[position]->text);
    firstByKey_.insert(std::move(handle));
  }
}

void RecordList::ensureIndex() const {
  if (!indexed_) rebuildIndex();
}

void RecordList::rebuildIndex() const {
  firstByKey_.clear();
  // Room for the records to come as well: a merge adds at most the records
  // of its text file, often about half as many again.
  firstByKey_.reserve(nodes_.size() + nodes_.size() / 2 + 16);
  indexed_ = true;
  for (std::size_t position = 0; position < nodes_.size(); ++position) {
    firstByKey_.try_emplace(firstLineKey(nodes_[position]->text), position);
  }
}

void RecordList::clear() {
  firstByKey_.clear();
  indexed_ = false;
  nodes_.clear();
}

}  // namespace tx
