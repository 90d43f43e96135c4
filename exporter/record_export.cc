#include "exporter/record_export.h"

namespace tx {

void ExportVisitor::beginRecord(const Record& info) {
  writer_.writeRecordHead(categoryName(appInfo_.data(), info.category), info.secret, info.places, info.stripZeros);
}

void ExportVisitor::endRecord() {
  writer_.endRecord();
  ++records_;
}

RecordExport::RecordExport(BufferedReader& db) : reader_(db) {
  reader_.readHeader("TxExport");
  reader_.readAppInfo(appInfo_.data(), kCategoryInfoSize);
}

std::size_t RecordExport::writeTo(ByteSink& text) {
  TextRecordWriter writer(text);
  ExportVisitor visitor(appInfo_, writer);
  reader_.forEachRecord(visitor);
  return visitor.records();
}

}  // namespace tx
