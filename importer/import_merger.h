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
  ImportMerger(RecordList& list, CategoryResolver& resolver, AnswerReader& answers, std::FILE* out)
      : list_(list), resolver_(resolver), answers_(answers), out_(out) {}

  // Merges every record of `text` into the list: a record whose first line
  // matches none is appended; an identical one is dropped; a conflicting one
  // replaces the existing record or is appended beside it, as the user
  // answers.  A read error on the text fails the run.
  void merge(BufferedReader& text);

 private:
  RecordList& list_;
  CategoryResolver& resolver_;
  AnswerReader& answers_;
  std::FILE* out_;
};

}  // namespace tx
