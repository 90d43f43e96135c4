// Writes the importer's result as a database of one record list:
//   0            72   header (as read; app info offset and dates filled in)
//   72           6    record list header: next list 0, record count n
//   78           8*n  entries: data offset, attributes, unique id 0
//   78 + 8*n     310  app info block
//   388 + 8*n    ...  records: places, stripZeros, text, 0 byte; no gaps
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "dbformat/database_format.h"
#include "system/file_io.h"

namespace tx {

inline constexpr std::string_view kErrorWritingHeader = "Error writing database header";
inline constexpr std::string_view kErrorWritingRecordList = "Error writing database record list";
inline constexpr std::string_view kErrorWritingEntries = "Error writing database record entries";
inline constexpr std::string_view kErrorWritingAppInfo = "Error writing database app info block";
inline constexpr std::string_view kErrorWritingRecord = "Error writing database record";

// Writes `records` to `fd` from its current position (the start of an empty
// file), in whole blocks (see BlockWriter).  The three dates become `now`,
// seconds since 1970; every other header field is written as read.  Every
// write is checked: a failure fails the run with the message of the part of
// the file it could not write and the system's text.  A count or size that
// the format cannot hold is refused before anything is written.
//
// `stored` may give the bytes of the database the records were read from: a
// record whose text lies there between its own setting bytes and a 0 byte
// goes out from there as it is, together with the records stored right
// after it, so that an import that changes few records writes most of the
// file straight from the old one.  The file is the same either way.
//
// The first `holdBack` bytes (at most the size of the smallest database) are
// not written but returned, for a caller that writes them last; `fd` must
// then stand that many bytes from the start.
std::string writeDatabase(int fd, const HeaderBytes& header, const AppInfoBlock& appInfo,
                          std::span<const Record> records, std::uint32_t now, std::string_view stored = {},
                          std::size_t holdBack = 0);

// The size of the file that writeDatabase() makes of these records.
std::uint64_t databaseFileSize(std::span<const Record> records);

}  // namespace tx
