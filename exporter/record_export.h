// The records of a database as text, wherever the bytes come from and go.
#pragma once

#include <cstddef>
#include <string_view>

#include "dbformat/database_format.h"
#include "dbformat/database_reader.h"
#include "system/file_io.h"
#include "textformat/text_writer.h"

namespace tx {

// Copies each record into the text form as it is read, naming its category
// from the category part of `appInfo`.
class ExportVisitor : public RecordVisitor {
 public:
  ExportVisitor(const AppInfoBlock& appInfo, TextRecordWriter& writer) : appInfo_(appInfo), writer_(writer) {}

  void beginRecord(const Record& info) override;
  void textBytes(std::string_view bytes) override { writer_.writeText(bytes); }
  void endRecord() override;

  std::size_t records() const { return records_; }

 private:
  const AppInfoBlock& appInfo_;
  TextRecordWriter& writer_;
  std::size_t records_ = 0;
};

// One export: the database's header and category names are read and checked
// when it is made, before anything is written, so that a file that is not a
// database (the arguments swapped, say) fails the run with nothing written.
class RecordExport {
 public:
  explicit RecordExport(BufferedReader& db);

  // Writes every record, in database order, to `text`: how many there were.
  std::size_t writeTo(ByteSink& text);

 private:
  DatabaseReader reader_;
  AppInfoBlock appInfo_{};
};

}  // namespace tx
