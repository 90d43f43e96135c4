#include "importer/line_diff.h"

#include <algorithm>
#include <cstdint>

namespace tx {

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  for (std::size_t start = 0;;) {
    const std::size_t feed = text.find('\n', start);
    lines.push_back(text.substr(start, feed == std::string_view::npos ? std::string_view::npos : feed - start));
    if (feed == std::string_view::npos) return lines;
    start = feed + 1;
  }
}

std::vector<DiffLine> lineDiff(const std::vector<std::string_view>& before, const std::vector<std::string_view>& after) {
  const std::size_t rows = before.size(), columns = after.size();
  std::vector<DiffLine> diff;
  if (rows * columns > 4000000) {
    // Too many pairs to compare every one: lines at the same place.
    for (std::size_t i = 0; i < std::max(rows, columns); ++i) {
      if (i < rows && i < columns && before[i] == after[i]) {
        diff.push_back({DiffLine::Same, i});
        continue;
      }
      if (i < rows) diff.push_back({DiffLine::Removed, i});
      if (i < columns) diff.push_back({DiffLine::Added, i});
    }
    return diff;
  }
  // The length of the longest common run of lines from each pair on.
  const std::size_t width = columns + 1;
  std::vector<std::uint32_t> common((rows + 1) * width, 0);
  for (std::size_t i = rows; i-- > 0;) {
    for (std::size_t j = columns; j-- > 0;) {
      common[i * width + j] = before[i] == after[j] ? common[(i + 1) * width + j + 1] + 1
                                                    : std::max(common[(i + 1) * width + j], common[i * width + j + 1]);
    }
  }
  std::size_t i = 0, j = 0;
  while (i < rows || j < columns) {
    if (i < rows && j < columns && before[i] == after[j]) {
      diff.push_back({DiffLine::Same, i++});
      ++j;
    } else if (j == columns || (i < rows && common[(i + 1) * width + j] >= common[i * width + j + 1])) {
      diff.push_back({DiffLine::Removed, i++});
    } else {
      diff.push_back({DiffLine::Added, j++});
    }
  }
  return diff;
}

}  // namespace tx
