// The TxImport program: an edited text merged into a database, the result
// written over it or to a new file.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "importer/import_merger.h"

namespace tx {

// Merges the text file at `textPath` into the database at `oldPath` and
// writes the result to `outputPath` (which may be `oldPath`), asking on
// `out` and reading the answers from `answers`; what the text reader read
// otherwise than its writer may have meant goes to `notes`, a line each.  A
// failure leaves every file as it was.
// `atTerminal`: a person answers at a terminal, who sees each conflict as a
// line diff before its question, a hint after an answer that counts for
// nothing, and a summary of what was done on `notes` at the end.
void importDatabase(const std::string& oldPath, const std::string& textPath, const std::string& outputPath,
                    AnswerReader& answers, std::FILE* out, std::FILE* notes, bool atTerminal = false);

// The whole TxImport program: `TxImport OldDbFileName TextFileName
// [NewDbFileName]`.  Returns its exit status; a failure is printed first.
int runImport(const std::vector<std::string>& arguments);

}  // namespace tx
