#pragma once

#include <string_view>

#include "dbformat/database_format.h"
#include "dbformat/database_reader.h"
#include "textformat/text_records.h"

namespace tx {

// Copies each record into the text form as it is read, naming its category
// from the category part of `appInfo`.
class ExportVisitor : public RecordVisitor {
 public:
  ExportVisitor(const AppInfoBlock& appInfo, TextRecordWriter& writer) : appInfo_(appInfo), writer_(writer) {}

  void beginRecord(const RecordInfo& info) override;
  void textBytes(std::string_view bytes) override { writer_.writeText(bytes); }
  void endRecord() override { writer_.endRecord(); }

 private:
  const AppInfoBlock& appInfo_;
  TextRecordWriter& writer_;
};

// The whole TxExport program: `TxExport DbFileName TextFileName`.  Returns
// the exit status of a successful run; every failure ends the process.
int runExport(int argc, const char* const* argv);

}  // namespace tx
