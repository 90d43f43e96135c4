// The database reader on arbitrary bytes, with the exporter's read size and
// with the importer's.
#include <string>

#include "dbformat/database_reader.h"
#include "exporter/exporter.h"
#include "fuzz/fuzz_support.h"
#include "textformat/text_writer.h"

namespace {

// Discards what it is given, so that long chains of lists stay cheap.
class NullSink : public tx::ByteSink {
 public:
  void write(std::string_view bytes) override { total += bytes.size(); }
  std::size_t total = 0;
};

void readAll(int fd, std::size_t appInfoSize) {
  tx::BufferedReader file(fd, 4096);
  tx::DatabaseReader reader(file);
  try {
    reader.readHeader("TxFuzz");
    tx::AppInfoBlock block{};
    reader.readAppInfo(block.data(), appInfoSize);
    NullSink sink;
    tx::TextRecordWriter writer(sink);
    tx::ExportVisitor visitor(block, writer);
    reader.forEachRecord(visitor);
  } catch (const tx::Failure&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  txfuzz::MemoryFile file(data, size);
  readAll(file.fd(), tx::kCategoryInfoSize);
  readAll(file.fd(), tx::kAppInfoSize);
  return 0;
}
