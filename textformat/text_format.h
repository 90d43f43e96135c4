// The text form of records: what the exporter writes and the importer reads.
//
// Each record is written as
//   Category = "<name>"; Secret = <0|1>
//   Places = <0-255>; StripZeros = <0-255>
//   <the text, its line feeds as line ends>
//   ~~~~~~~~~~~~~~~~~~~~~~~~~~~        (kSeparatorLine)
// Nothing is quoted or escaped.  The reader is tolerant: header lines may be
// missing, blank lines before a record are skipped, CR LF reads as LF.
#pragma once

#include <cstddef>
#include <string_view>

namespace tx {

inline constexpr std::string_view kSeparatorLine = "~~~~~~~~~~~~~~~~~~~~~~~~~~~\n";
inline constexpr std::size_t kSeparatorLength = 27;
inline constexpr std::string_view kCategoryLinePrefix = "Category = \"";
inline constexpr std::string_view kSettingsLinePrefix = "Places = ";
inline constexpr std::size_t kMaxCategoryNameLength = 15;
static_assert(kSeparatorLine.size() == kSeparatorLength + 1);

}  // namespace tx
