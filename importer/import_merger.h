// The merge of a text file into the records of a database.
#pragma once

#include <cstdio>
#include <string_view>

#include "importer/overwrite_question.h"
#include "importer/record_list.h"
#include "textformat/text_records.h"

namespace tx {

inline constexpr std::string_view kErrorReadingText = "Error reading text file";
inline constexpr std::string_view kErrorMerging = "Error merging text file";

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

 private:
  RecordList& list_;
  CategoryResolver& resolver_;
  AnswerReader& answers_;
  std::FILE* out_;
  TextNotes* notes_;
};

}  // namespace tx
