#include "importer/import_merger.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <vector>

#include "importer/probe_table.h"
#include "system/fatal.h"

namespace tx {
namespace {

bool sameRecord(const Record& a, const Record& b) {
  return a.text == b.text && a.category == b.category && a.secret == b.secret && a.places == b.places &&
         a.stripZeros == b.stripZeros;
}

std::uint32_t contentHash(const Record& record) {
  std::uint64_t hash = std::hash<std::string_view>{}(record.text);
  const std::uint64_t settings = std::uint64_t{record.category} | std::uint64_t{record.secret} << 8 |
                                 std::uint64_t{record.places} << 16 | std::uint64_t{record.stripZeros} << 24;
  hash ^= (settings + 1) * 0x9E3779B97F4A7C15u;
  return static_cast<std::uint32_t>(hash ^ hash >> 32);
}

}  // namespace

// Which records of the list the records of the text have met.  A text
// record is compared with a record of its first line that no earlier text
// record has met, so that a database with several records of one first line
// comes back unchanged from its own export.  Records of the old database that
// nothing has met yet are "unpaired"; every record this run puts in the list
// is paired from the start.
//
// Identity is looked up by content (text and settings) among the records of a
// first line, through groups of records with equal content that are made
// only for first lines with more than one record, so that every step costs
// the same whatever the number of records that share a first line.
class Pairing {
 public:
  explicit Pairing(const RecordList& list) : list_(list) { grow(); }

  // Whether `record` equals, in text and settings, a record whose first
  // line it has (`first` is the first of them); the first such record not
  // yet paired becomes paired.
  bool pairIdentical(const Record* first, const Record& record) {
    grow();
    const std::size_t head = list_.positionOf(first);
    if (!contentsKnown_[head]) {
      if (!list_.nextWithSameFirstLine(first)) {
        if (!sameRecord(*first, record)) return false;
        paired_[head] = 1;
        return true;
      }
      learnContents(first);
    }
    const std::uint32_t found = findGroup(record, contentHash(record));
    if (found == kNone || groups_[found].live == 0) return false;
    Group& group = groups_[found];
    while (group.unpaired != kEnd && paired_[group.unpaired]) group.unpaired = unpairedNext_[group.unpaired];
    if (group.unpaired != kEnd) paired_[group.unpaired] = 1;
    return true;
  }

  // The record that a text record of this first line (`first` is the first
  // record of it) is compared with: the first in list order not yet paired,
  // or `first` when every one is.  It is paired from now on.
  const Record* pairCounterpart(const Record* first) {
    grow();
    std::uint32_t& cursor = counterpart_[list_.positionOf(first)];
    if (cursor == kNoneLeft) return first;
    const Record* node = cursor == kFromTheFirst ? first : &list_.records()[cursor];
    while (node && paired_[list_.positionOf(node)]) node = list_.nextWithSameFirstLine(node);
    if (!node) {
      // Records added later are paired from the start: none will come.
      cursor = kNoneLeft;
      return first;
    }
    cursor = static_cast<std::uint32_t>(list_.positionOf(node));
    paired_[cursor] = 1;
    return node;
  }

  // `record` now stands at `position`: appended, or in the place of the
  // record that stood there (`replacing`).  `first` is the first record of
  // its first line, null when it is the first.
  void placed(const Record* first, std::size_t position, const Record& record, bool replacing) {
    grow();
    paired_[position] = 1;
    if (!first || !contentsKnown_[list_.positionOf(first)]) return;
    if (replacing) --groups_[groupOf_[position]].live;
    const std::uint32_t group = groupFor(record);
    groupOf_[position] = group;
    ++groups_[group].live;
  }

 private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;
  static constexpr std::uint32_t kFromTheFirst = kNone;
  static constexpr std::uint32_t kNoneLeft = kNone - 1;
  static constexpr std::uint16_t kEnd = 0xFFFF;  // no position: a list holds at most 65535 records

  // Records of equal content: how many the list holds now, and those of them
  // that were unpaired when the group was made, in list order, from the first
  // that may still be unpaired.
  struct Group {
    Record content;
    std::uint32_t hash = 0;
    std::uint32_t live = 0;
    std::uint16_t unpaired = kEnd;
    std::uint16_t lastUnpaired = kEnd;
  };

  // Room for every position of the list, which grows as records are added.
  void grow() {
    const std::size_t size = list_.size();
    if (paired_.size() >= size) return;
    const std::size_t room = std::max(size, 2 * paired_.size());
    paired_.resize(room);
    contentsKnown_.resize(room);
    counterpart_.resize(room, kFromTheFirst);
    groupOf_.resize(room);
    unpairedNext_.resize(room);
  }

  // Puts every record of the first line that starts at `first` into the
  // group of its content.
  void learnContents(const Record* first) {
    contentsKnown_[list_.positionOf(first)] = 1;
    for (const Record* node = first; node; node = list_.nextWithSameFirstLine(node)) {
      const auto position = static_cast<std::uint16_t>(list_.positionOf(node));
      const std::uint32_t id = groupFor(*node);
      Group& group = groups_[id];
      groupOf_[position] = id;
      ++group.live;
      if (paired_[position]) continue;
      unpairedNext_[position] = kEnd;
      if (group.unpaired == kEnd) {
        group.unpaired = position;
      } else {
        unpairedNext_[group.lastUnpaired] = position;
      }
      group.lastUnpaired = position;
    }
  }

  std::uint32_t findGroup(const Record& record, std::uint32_t hash) const {
    if (table_.empty()) return kNone;
    return table_
        .probe(hash,
               [&](GroupSlot slot) { return groups_[slot.id].hash == hash && sameRecord(groups_[slot.id].content, record); })
        .id;
  }

  std::uint32_t groupFor(const Record& record) {
    const std::uint32_t hash = contentHash(record);
    const std::uint32_t found = findGroup(record, hash);
    if (found != kNone) return found;
    const auto id = static_cast<std::uint32_t>(groups_.size());
    groups_.push_back({record, hash});
    if (groups_.size() * 2 > table_.size()) {
      // At most half full: rebuilt with twice the room.
      table_.reset(table_.empty() ? 64 : table_.size() * 2);
      for (std::uint32_t each = 0; each < groups_.size(); ++each) insert(each);
    } else {
      insert(id);
    }
    return id;
  }

  void insert(std::uint32_t id) {
    table_.probe(groups_[id].hash, [](GroupSlot) { return false; }) = GroupSlot{id};
  }

  const RecordList& list_;
  std::vector<std::uint8_t> paired_;         // by position
  std::vector<std::uint8_t> contentsKnown_;  // by the position of a first line's first record
  std::vector<std::uint32_t> counterpart_;   // likewise: where the search for an unpaired record goes on
  std::vector<std::uint32_t> groupOf_;       // by position, where its first line's contents are known
  std::vector<std::uint16_t> unpairedNext_;  // by position: the next unpaired record of its group
  std::vector<Group> groups_;
  // Group ids by content hash.
  struct GroupSlot {
    std::uint32_t id = kNone;
    bool operator==(const GroupSlot&) const = default;
  };
  ProbeTable<GroupSlot> table_;
};

TextRecords readTextRecords(BufferedReader& text, CategoryResolver& resolver, TextArena& texts, TextNotes* notes) {
  TextRecords read;
  TextRecordReader reader(text, resolver, texts, notes);
  for (Record record; reader.next(record);) {
    read.records.push_back(record);
    read.keys.push_back(RecordList::keyOf(record.text));
  }
  // The end of the records must be the end of the file, not a read error.
  if (reader.error() != 0) fatalSystemError(kErrorReadingText, reader.error());
  return read;
}

MergeSteps::MergeSteps(RecordList& list, CategoryResolver& resolver, BufferedReader& text, TextNotes* notes)
    : MergeSteps(list, readTextRecords(text, resolver, list.texts(), notes)) {}

MergeSteps::MergeSteps(RecordList& list, TextRecords text)
    : list_(list), pairing_(std::make_unique<Pairing>(list)), text_(std::move(text)) {}

MergeSteps::~MergeSteps() = default;

bool MergeSteps::next() {
  existing_ = nullptr;
  // The searches to come are prepared a few records ahead, each step of one
  // a few records after the one before, so that what each looks at is in
  // the cache when it comes.
  constexpr std::size_t kAhead = 8;
  for (; merged_ < text_.records.size(); ++merged_) {
    for (int step = 0; step < 3; ++step) {
      const std::size_t ahead = merged_ + (3 - static_cast<std::size_t>(step)) * kAhead;
      if (ahead < text_.keys.size()) list_.prefetch(text_.keys[ahead], step);
    }
    incoming_ = text_.records[merged_];
    first_ = list_.findByFirstLine(incoming_.text, text_.keys[merged_]);
    if (!first_) {
      list_.append(incoming_, kErrorMerging);
      pairing_->placed(nullptr, list_.size() - 1, incoming_, false);
      ++counts_.added;
      continue;
    }
    if (pairing_->pairIdentical(first_, incoming_)) {
      ++counts_.unchanged;
      continue;
    }
    const Record* existing = pairing_->pairCounterpart(first_);
    if (!all_) {
      existing_ = existing;
      ++merged_;
      return true;
    }
    replace(existing);
  }
  return false;
}

void MergeSteps::answer(OverwriteAnswer answer) {
  if (!existing_) return;
  const Record* existing = existing_;
  existing_ = nullptr;
  if (answer == OverwriteAnswer::All) all_ = true;
  if (answer != OverwriteAnswer::No) {
    replace(existing);
  } else {
    list_.append(incoming_, kErrorMerging);
    pairing_->placed(first_, list_.size() - 1, incoming_, false);
    ++counts_.keptBeside;
  }
}

void MergeSteps::replace(const Record* existing) {
  ++counts_.replaced;
  pairing_->placed(first_, list_.positionOf(existing), incoming_, true);
  list_.replace(existing, incoming_);
}

void ImportMerger::merge(BufferedReader& text) { merge(readTextRecords(text, resolver_, list_.texts(), notes_)); }

void ImportMerger::merge(TextRecords text) {
  MergeSteps steps(list_, std::move(text));
  while (steps.next()) {
    if (show_) show_(steps.existing(), steps.incoming());
    steps.answer(askOverwrite(steps.existing().text, answers_, out_, static_cast<bool>(show_)));
  }
  counts_ = steps.counts();
}

}  // namespace tx
