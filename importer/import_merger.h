// The merge of a text file into the records of a database.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "importer/overwrite_question.h"
#include "importer/record_list.h"
#include "textformat/text_reader.h"

namespace tx {

inline constexpr std::string_view kErrorReadingText = "Error reading text file";
inline constexpr std::string_view kErrorMerging = "Error merging text file";

class Pairing;

// The records of a text, read whole, each with its first-line key.
struct TextRecords {
  std::vector<Record> records;
  std::vector<RecordList::Key> keys;
};

// Reads every record of `text`, their texts where they lie or in `texts`;
// a read error fails the run.
TextRecords readTextRecords(BufferedReader& text, CategoryResolver& resolver, TextArena& texts,
                            TextNotes* notes = nullptr);

// What a merge did with the records of the text.
struct MergeCounts {
  std::size_t added = 0;       // a first line no record had
  std::size_t replaced = 0;    // Yes or All
  std::size_t keptBeside = 0;  // No: the new version added beside the old one
  std::size_t unchanged = 0;   // equal to a record there
};

// The merge one question at a time, for a caller that cannot wait for an
// answer in the middle of it (a web page): next() merges records until one
// needs the user's answer, which answer() then gives.  Every rule of the
// merge is here; ImportMerger only asks the questions.
class MergeSteps {
 public:
  // Reads the whole text first: a read error fails the run, and every note
  // is given, before the first question.
  MergeSteps(RecordList& list, CategoryResolver& resolver, BufferedReader& text, TextNotes* notes = nullptr);
  // The records of a text read already.
  MergeSteps(RecordList& list, TextRecords text);
  ~MergeSteps();
  MergeSteps(const MergeSteps&) = delete;
  MergeSteps& operator=(const MergeSteps&) = delete;

  // Merges the records of the text until one conflicts with an existing
  // record and no earlier answer was All: true, with existing() and
  // incoming() the two records, until answer() is called.  False when the
  // whole text is merged.
  bool next();
  const Record& existing() const { return *existing_; }
  const Record& incoming() const { return incoming_; }
  // Yes puts the incoming record in the existing one's place; No appends
  // it; All is Yes to this and every later conflict.
  void answer(OverwriteAnswer answer);
  const MergeCounts& counts() const { return counts_; }

 private:
  // The incoming record in the place of `existing`.
  void replace(const Record* existing);

  RecordList& list_;
  std::unique_ptr<Pairing> pairing_;
  // The records of the text, and how many of them are merged.
  TextRecords text_;
  std::size_t merged_ = 0;
  Record incoming_;
  const Record* first_ = nullptr;     // the first record of the incoming record's first line
  const Record* existing_ = nullptr;  // while a question waits
  bool all_ = false;
  MergeCounts counts_;
};

class ImportMerger {
 public:
  // `notes`, where given, hears what the text reader read otherwise than
  // its writer may have meant.
  ImportMerger(RecordList& list, CategoryResolver& resolver, AnswerReader& answers, std::FILE* out,
               TextNotes* notes = nullptr)
      : list_(list), resolver_(resolver), answers_(answers), out_(out), notes_(notes) {}

  // Merges every record of `text` into the list: a record whose first line
  // matches none is appended; one identical to a record of its first line
  // is dropped; any other is compared with the first record of its first
  // line that no earlier record of the text met (or with the first of them
  // when all were met), and replaces it or is appended beside it, as the
  // user answers.  A read error on the text fails the run.
  void merge(BufferedReader& text);
  // The same for the records of a text read already.
  void merge(TextRecords text);

  // For a person at a terminal: `show` sees the two records before each
  // question, an answer that counts for nothing gets a hint, and counts()
  // tells what the merge did.
  void showConflicts(std::function<void(const Record& existing, const Record& incoming)> show) {
    show_ = std::move(show);
  }
  const MergeCounts& counts() const { return counts_; }

 private:
  RecordList& list_;
  CategoryResolver& resolver_;
  AnswerReader& answers_;
  std::FILE* out_;
  TextNotes* notes_;
  std::function<void(const Record&, const Record&)> show_;
  MergeCounts counts_;
};

}  // namespace tx
