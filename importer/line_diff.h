// Which lines of two records differ: what the question shows at a terminal
// and the web page's dialog marks.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace tx {

// One line of a diff of `before` and `after`: in both, only in `before`
// (removed), or only in `after` (added), with its index there.
struct DiffLine {
  enum Kind { Same, Removed, Added };
  Kind kind;
  std::size_t index;  // into `before` (Same, Removed) or `after` (Added)
};

// The lines of `before` and `after` in order, the longest common run of
// lines kept as Same (past 4,000,000 line pairs, only lines at the same
// place count as the same), each removed line before the added ones that
// take its place.
std::vector<DiffLine> lineDiff(const std::vector<std::string_view>& before, const std::vector<std::string_view>& after);

// `text` split at its line feeds (a last line feed ends the last line).
std::vector<std::string_view> splitLines(std::string_view text);

}  // namespace tx
