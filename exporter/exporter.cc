#include "exporter/exporter.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "dbformat/database_reader.h"
#include "dbformat/fatal.h"
#include "dbformat/file_io.h"
#include "dbformat/open_file.h"
#include "textformat/text_records.h"

namespace tx {
namespace {

constexpr const char* kUsage = "Format: TXEXPORT DbFileName TextFileName\n";
constexpr const char* kErrorWritingText = "Error writing text file";

}  // namespace

void ExportVisitor::beginRecord(const RecordInfo& info) {
  writer_.writeRecordHead(categoryName(appInfo_.data(), info.category), info.secret, info.places, info.stripZeros);
}

int runExport(int argc, const char* const* argv) {
  if (argc != 3) {
    std::fputs(kUsage, stdout);
    return 1;
  }
  // A file-size limit shows as a write error that is reported, not as a signal.
  std::signal(SIGXFSZ, SIG_IGN);
  const std::string dbPath = argv[1];
  const std::string textPath = argv[2];

  const int dbFd = openForReading(dbPath);
  // Opening the text file empties it: it must not be the database itself.
  if (sameFile(dbFd, textPath)) fatalMessage(cantOpenMessage(textPath, "it is the database file itself"));
  const int textFd = ::open(textPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (textFd < 0) fatalMessage(cantOpenMessage(textPath, std::strerror(errno)));

  OutputFile text(textFd, kErrorWritingText);
  // On a failure part way, the text file keeps every complete record.
  setFatalCleanup([&text] { text.flushCompleteUnits(); });

  InputFile dbFile(dbFd);
  DatabaseReader reader(dbFile);
  reader.readHeader("TxExport");
  AppInfoBlock appInfo{};
  reader.readAppInfo(appInfo.data(), kCategoryInfoSize);
  TextRecordWriter writer(text);
  ExportVisitor visitor(appInfo, writer);
  reader.forEachRecord(visitor);

  text.flush();
  setFatalCleanup(nullptr);
  closeOrFail(textFd, kErrorWritingText);
  closeOrFail(dbFd, kErrorClosingDatabase);
  return 0;
}

}  // namespace tx
