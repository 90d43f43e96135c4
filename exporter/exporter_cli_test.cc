// TxExport run as a user runs it: exact output streams, status and files.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "support/db_builder.h"
#include "exporter/exporter.h"
#include "support/failure.h"
#include "support/process.h"

namespace {

using txtest::failureOf;
using txtest::fileExists;
using txtest::inDirectory;
using txtest::onStderr;
using txtest::readFile;
using txtest::runProgram;
using txtest::TempDir;
using txtest::TestDatabase;
using txtest::TestRecord;
using txtest::writeFile;

const std::string kExport = TXEXPORT_PATH;
const std::string kSeparator = "~~~~~~~~~~~~~~~~~~~~~~~~~~~\n";

std::string block(const std::string& category, int secret, int places, int strip, const std::string& text) {
  return "Category = \"" + category + "\"; Secret = " + std::to_string(secret) + "\nPlaces = " +
         std::to_string(places) + "; StripZeros = " + std::to_string(strip) + "\n" + text + "\n" + kSeparator;
}

// True when `text` is the first records of `full`, each complete, or empty.
bool isWholeRecordsOf(const std::string& text, const std::string& full) {
  const bool endsWhole = text.empty() || (text.size() >= kSeparator.size() &&
                                          text.compare(text.size() - kSeparator.size(), kSeparator.size(), kSeparator) == 0);
  return endsWhole && full.compare(0, text.size(), text) == 0;
}

TestDatabase sampleDatabase() {
  TestDatabase db;
  db.appInfo.names[0] = "Unfiled";
  db.appInfo.names[1] = "Work";
  db.appInfo.names[2] = "ABCDEFGHIJKLMNOP";  // fills its slot
  db.appInfo.names[3] = "next slot";
  db.lists = {{{0x11, 2, 0, "1+1\n2*3"}, {0x00, 14, 2, ""}}, {{0xE2, 0, 1, "\xFF\x80 high\n\nlast", false}}};
  return db;
}

const std::string kSampleText = block("Work", 1, 2, 0, "1+1\n2*3") + block("Unfiled", 0, 14, 2, "") +
                                block("ABCDEFGHIJKLMNOP", 0, 0, 1, "\xFF\x80 high\n\nlast");

TEST(TxExport, ExportsEveryRecordExactly) {
  TempDir dir;
  writeFile(dir.file("db.pdb"), txtest::buildDatabase(sampleDatabase()));
  const auto run = runProgram(kExport, {dir.file("db.pdb"), dir.file("out.txt")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(readFile(dir.file("out.txt")), kSampleText);
}

TEST(TxExport, EmptyDatabaseGivesEmptyTextAndOverwritesOldText) {
  TempDir dir;
  writeFile(dir.file("db.pdb"), txtest::buildDatabase(TestDatabase{}));
  writeFile(dir.file("out.txt"), "old content");
  const auto run = runProgram(kExport, {dir.file("db.pdb"), dir.file("out.txt")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out + run.err, "");
  EXPECT_EQ(readFile(dir.file("out.txt")), "");
}

TEST(TxExport, UsageWithWrongArgumentCount) {
  const std::vector<std::vector<std::string>> argumentLists = {{}, {"only.pdb"}, {"a.pdb", "b.txt", "c"}};
  for (const auto& args : argumentLists) {
    TempDir dir;
    const auto run = runProgram(kExport, args, inDirectory(dir));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Format: TXEXPORT DbFileName TextFileName\n");
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(txtest::listDirectory(dir.path()).empty());
  }
  // The usual options, as the only argument, answer with status 0.
  const std::string help =
      "Format: TXEXPORT DbFileName TextFileName\n\n--help     prints this text\n--version  prints the program's name "
      "and version\nThe manual: man TxExport (on Windows, TxExport.txt beside the program)\n";
  const std::pair<std::string, std::string> options[] = {
      {"--help", help}, {"-h", help}, {"--version", "TxExport 1.0.0\n"}};
  for (const auto& [option, out] : options) {
    TempDir dir;
    const auto run = runProgram(kExport, {option}, inDirectory(dir));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(txtest::listDirectory(dir.path()).empty());
  }
}

TEST(TxExport, OpenFailures) {
  TempDir dir;
  writeFile(dir.file("db.pdb"), txtest::buildDatabase(sampleDatabase()));
  auto run = runProgram(kExport, {dir.file("missing.pdb"), dir.file("out.txt")});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Can't open \"" + dir.file("missing.pdb") + "\": No such file or directory");
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(fileExists(dir.file("out.txt")));

  run = runProgram(kExport, {dir.file("db.pdb"), dir.file("no/such/dir.txt")});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Can't open \"" + dir.file("no/such/dir.txt") + "\": No such file or directory");
  EXPECT_EQ(run.err, "");
}

TEST(TxExport, RefusesToWriteOverTheDatabase) {
  TempDir dir;
  const std::string db = txtest::buildDatabase(sampleDatabase());
  writeFile(dir.file("db.pdb"), db);
  ASSERT_EQ(symlink("db.pdb", dir.file("link.pdb").c_str()), 0);
  ASSERT_EQ(link(dir.file("db.pdb").c_str(), dir.file("hard.pdb").c_str()), 0);
  const std::vector<std::string> spellings = {dir.file("db.pdb"), dir.path() + "/./db.pdb", dir.file("link.pdb"),
                                              dir.file("hard.pdb"), "db.pdb"};
  for (const std::string& text : spellings) {
    SCOPED_TRACE(text);
    const auto run = runProgram(kExport, {dir.file("db.pdb"), text}, inDirectory(dir));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Can't open \"" + text + "\": it is the database file itself");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(readFile(dir.file("db.pdb")), db);
  }
  // Another database is not overwritten either; a file that only resembles
  // one (another creator, too short to hold type and creator) is.
  TestDatabase otherCreator = sampleDatabase();
  otherCreator.creator = "TalY";
  const struct {
    std::string bytes;
    bool refused;
  } texts[] = {{txtest::buildDatabase(TestDatabase{}), true}, {db, true},
               {txtest::buildDatabase(otherCreator), false}, {db.substr(0, 67), false}};
  for (const auto& t : texts) {
    SCOPED_TRACE(t.bytes.size());
    writeFile(dir.file("other.pdb"), t.bytes);
    const auto run = runProgram(kExport, {dir.file("db.pdb"), dir.file("other.pdb")});
    EXPECT_EQ(run.status, t.refused ? 1 : 0);
    EXPECT_EQ(run.out, t.refused ? "Can't open \"" + dir.file("other.pdb") + "\": it is a Tallix database, so it is not overwritten" : "");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(readFile(dir.file("other.pdb")), t.refused ? t.bytes : kSampleText);
    EXPECT_EQ(readFile(dir.file("db.pdb")), db);
  }
}

// A file that is not a database, or not one of ours, is refused before the
// text file is touched: an existing one keeps its bytes (even a database,
// when the arguments are swapped), an absent one stays absent.
TEST(TxExport, RefusedDatabasesLeaveTheTextPathAsItWas) {
  struct Case {
    const char* name;
    std::string bytes;  // the database file; empty: a directory
    std::string out, err;
  };
  std::vector<Case> cases;
  const std::string notTallix = "Not a Tallix database file\n";
  const std::string version =
      "Don't know how to read this version of Tallix database.\nPlease get the latest version of TxExport and try again.\n";
  for (const char* type : {"Date", "data", "DATA"}) {
    TestDatabase db;
    db.type = type;
    cases.push_back({type, txtest::buildDatabase(db), notTallix, ""});
  }
  for (const char* creator : {"TalY", "talx", "Tal "}) {
    TestDatabase db;
    db.creator = creator;
    cases.push_back({creator, txtest::buildDatabase(db), notTallix, ""});
  }
  for (const std::uint16_t v : {std::uint16_t{0}, std::uint16_t{2}, std::uint16_t{0x0100}}) {
    TestDatabase db;
    db.version = v;
    cases.push_back({"version", txtest::buildDatabase(db), version, ""});
  }
  TestDatabase pastTheEnd;
  pastTheEnd.appInfoAt = 0x7FFFFFF0;
  cases.push_back({"app info block past the end", txtest::buildDatabase(pastTheEnd), "",
                   "Error reading database app info block: unexpected end of file\n"});
  cases.push_back({"the arguments swapped", kSampleText, notTallix, ""});
  cases.push_back({"a short text", "Alpha\n", "", "Error reading database header: unexpected end of file\n"});
  cases.push_back({"a directory", "", "", "Error reading database header: Is a directory\n"});
  const std::string database = txtest::buildDatabase(sampleDatabase());
  for (const Case& c : cases) {
    for (bool textExists : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (textExists ? ", text exists" : ", no text"));
      TempDir dir;
      if (c.bytes.empty()) {
        ASSERT_EQ(::mkdir(dir.file("edits.txt").c_str(), 0755), 0);
      } else {
        writeFile(dir.file("edits.txt"), c.bytes);
      }
      if (textExists) writeFile(dir.file("db.pdb"), database);
      const auto run = runProgram(kExport, {dir.file("edits.txt"), dir.file("db.pdb")});
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.out, c.out);
      EXPECT_EQ(run.err, c.err);
      if (textExists) {
        EXPECT_TRUE(readFile(dir.file("db.pdb")) == database);
      } else {
        EXPECT_FALSE(fileExists(dir.file("db.pdb")));
      }
    }
  }
}

// Cutting the database at every length: the right message on standard error,
// and the text file holds exactly the records before the failure.
TEST(TxExportFailure, TruncatedAtEveryLength) {
  TestDatabase db;
  db.appInfo.names[1] = "Work";
  db.lists = {{{0x01, 1, 0, "first\nrecord"}, {0x00, 2, 1, "second"}}};
  const std::string full = txtest::buildDatabase(db);
  const std::size_t appInfo = txtest::appInfoOffsetOf(db);
  const std::size_t first = appInfo + 310;
  const std::size_t second = first + 2 + 12 + 1;
  const std::string firstBlock = block("Work", 0, 1, 0, "first\nrecord");
  TempDir dir;
  for (std::size_t length = 0; length <= full.size(); ++length) {
   for (const bool linked : {false, true}) {
    SCOPED_TRACE(std::to_string(length) + (linked ? ", a hard-linked text" : ", no text before"));
    writeFile(dir.file("db.pdb"), full.substr(0, length));
    ::unlink(dir.file("out.txt").c_str());
    ::unlink(dir.file("link.txt").c_str());
    if (linked) {
      writeFile(dir.file("out.txt"), "mine");
      ASSERT_EQ(::link(dir.file("out.txt").c_str(), dir.file("link.txt").c_str()), 0);
    }
    const std::string failure = failureOf([&] { tx::exportDatabase(dir.file("db.pdb"), dir.file("out.txt")); });
    std::string message, text;
    if (length < 72) {
      message = "Error reading database header";
    } else if (length < appInfo + 276) {
      message = "Error reading database app info block";
    } else if (length < first + 2) {
      message = "Error reading database record";
    } else if (length < second) {
      // The end of the file ends the first text quietly; the second record
      // then lies past the end.
      text = block("Work", 0, 1, 0, full.substr(first + 2, std::min(length, first + 14) - first - 2));
      message = "Error reading database record";
    } else if (length < second + 2) {
      text = firstBlock;
      message = "Error reading database record";
    } else {
      text = firstBlock + block("", 0, 2, 1, full.substr(second + 2, std::min(length, second + 8) - second - 2));
    }
    // A failure before the first record changes no text file; a text that
    // is replaced stays as it was (here: none) on any failure; one written
    // into holds exactly the records before the failure.
    if (length < appInfo + 276) {
      EXPECT_EQ(fileExists(dir.file("out.txt")) ? readFile(dir.file("out.txt")) : "none", linked ? "mine" : "none");
    } else if (!linked && !message.empty()) {
      EXPECT_FALSE(fileExists(dir.file("out.txt")));
    } else {
      EXPECT_EQ(readFile(dir.file("out.txt")), text);
    }
    EXPECT_EQ(txtest::listDirectory(dir.path()).size(), linked ? 3u : fileExists(dir.file("out.txt")) ? 2u : 1u);
    EXPECT_EQ(failure, message.empty() ? "" : onStderr(message + ": unexpected end of file\n"));
   }
  }
}

TEST(TxExport, RecordListLoopKeepsTheRecordsBeforeIt) {
  TestDatabase db;
  db.lists = {{{0, 1, 1, "one"}}, {{0, 2, 1, "two"}}};
  std::string bytes = txtest::buildDatabase(db);
  txtest::put32(bytes, txtest::recordListOffset(db, 1), txtest::recordListOffset(db, 0));
  TempDir dir;
  writeFile(dir.file("db.pdb"), bytes);
  const auto run = runProgram(kExport, {dir.file("db.pdb"), dir.file("out.txt")});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Error reading database record list: a record list overlaps a record list read before it\n");
  // Nothing is left where there was no text; an old text stays as it was.
  EXPECT_EQ(txtest::listDirectory(dir.path()), std::vector<std::string>{"db.pdb"});
  writeFile(dir.file("out.txt"), "mine");
  EXPECT_EQ(runProgram(kExport, {dir.file("db.pdb"), dir.file("out.txt")}).status, 1);
  EXPECT_EQ(readFile(dir.file("out.txt")), "mine");
  EXPECT_EQ(txtest::listDirectory(dir.path()), (std::vector<std::string>{"db.pdb", "out.txt"}));
}

// Entries that all point at one 1 MiB text: a 1.6 MB database whose text
// would be 68.7 GB stops once the text would pass 4 GiB.
TEST(TxExport, SharedTextsStopAtFourGiB) {
  TestDatabase db;
  db.lists[0].push_back({0, 1, 1, std::string(1 << 20, 'x')});
  db.lists[0].resize(65535, {0, 1, 1, ""});
  std::string bytes = txtest::buildDatabase(db);
  const std::size_t entries = txtest::recordListOffset(db, 0) + 6;
  const std::uint32_t shared = txtest::get32(bytes, entries);
  for (std::size_t i = 1; i < 65535; ++i) txtest::put32(bytes, entries + 8 * i, shared);
  TempDir dir;
  writeFile(dir.file("db.pdb"), bytes);
  // Into a pipe, which cannot be cut back: only whole records go.
  ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
  std::uint64_t received = 0;
  std::string last;
  std::thread reader([&] {
    const int fd = ::open(dir.file("pipe").c_str(), O_RDONLY);
    ::fcntl(fd, F_SETPIPE_SZ, 1 << 20);
    std::string buffer(1 << 20, '\0');
    for (long got; (got = ::read(fd, buffer.data(), buffer.size())) > 0;) {
      received += static_cast<std::uint64_t>(got);
      last.append(buffer.data(), static_cast<std::size_t>(got));
      if (last.size() > 64) last.erase(0, last.size() - 64);
    }
    ::close(fd);
  });
  const auto run = runProgram(kExport, {dir.file("db.pdb"), dir.file("pipe")});
  reader.join();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Error writing text file: the text would pass 4 GiB, more than any database can hold\n");
  const std::uint64_t record = block("", 0, 1, 1, std::string(1 << 20, 'x')).size();
  EXPECT_EQ(received % record, 0u);
  EXPECT_EQ(received / record, (std::uint64_t{4} << 30) / record);
  const std::string separator(27, '~');
  EXPECT_EQ(last.substr(last.size() - separator.size() - 1), separator + "\n");
}

// A replaced text keeps what the old one had besides its bytes.
TEST(TxExport, AReplacedTextKeepsItsModeAndAttributes) {
  TempDir dir;
  writeFile(dir.file("db.pdb"), txtest::buildDatabase(sampleDatabase()));
  writeFile(dir.file("out.txt"), "mine");
  ASSERT_EQ(::chmod(dir.file("out.txt").c_str(), 0640), 0);
  const bool attributes = ::setxattr(dir.file("out.txt").c_str(), "user.kept", "yes", 3, 0) == 0;
  struct stat before {}, after {};
  ASSERT_EQ(::stat(dir.file("out.txt").c_str(), &before), 0);
  EXPECT_EQ(failureOf([&] { tx::exportDatabase(dir.file("db.pdb"), dir.file("out.txt")); }), "");
  ASSERT_EQ(::stat(dir.file("out.txt").c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  char value[8] = {};
  if (attributes) {
    EXPECT_EQ(::getxattr(dir.file("out.txt").c_str(), "user.kept", value, sizeof value), 3);
  }
  EXPECT_EQ(txtest::listDirectory(dir.path()), (std::vector<std::string>{"db.pdb", "out.txt"}));
}

TEST(TxExport, WriteFailuresAreReported) {
  // Text for three write buffers and more, so that some limits fall after
  // whole records have been written.
  TestDatabase db;
  for (int i = 0; i < 7000; ++i) {
    db.lists[0].push_back({0, 1, 1, "record number " + std::to_string(i) + std::string(1000, 'x')});
  }
  TempDir dir;
  writeFile(dir.file("db.pdb"), txtest::buildDatabase(db));

  auto run = runProgram(kExport, {dir.file("db.pdb"), "/dev/full"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Error writing text file: No space left on device\n");

  // A small database fails only at the final flush.
  writeFile(dir.file("small.pdb"), txtest::buildDatabase(sampleDatabase()));
  run = runProgram(kExport, {dir.file("small.pdb"), "/dev/full"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Error writing text file: No space left on device\n");

  ASSERT_EQ(runProgram(kExport, {dir.file("db.pdb"), dir.file("full.txt")}).status, 0);
  const std::string full = readFile(dir.file("full.txt"));
  constexpr long kBlock = static_cast<long>(tx::TextFile::kBlockSize);
  for (long limit : {0L, 100L, 5000L, 65536L, 70000L, 131072L, 200000L, kBlock - 1, kBlock, kBlock + 1,
                     2 * kBlock + 5000, 3 * kBlock + 70000}) {
   for (const bool linked : {false, true}) {
    SCOPED_TRACE(std::to_string(limit) + (linked ? ", a hard-linked text" : ", an old text"));
    ::unlink(dir.file("link.txt").c_str());
    writeFile(dir.file("out.txt"), "mine");
    if (linked) {
      ASSERT_EQ(::link(dir.file("out.txt").c_str(), dir.file("link.txt").c_str()), 0);
    }
    txtest::RunOptions options;
    options.fileSizeLimit = limit;
    run = runProgram(kExport, {dir.file("db.pdb"), dir.file("out.txt")}, options);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Error writing text file: File too large\n");
    const std::string text = readFile(dir.file("out.txt"));
    EXPECT_EQ(txtest::listDirectory(dir.path()).size(), linked ? 5u : 4u);  // nothing left beside them
    if (!linked) {
      // A text that is replaced stays whole.
      EXPECT_EQ(text, "mine");
      continue;
    }
    EXPECT_LE(text.size(), static_cast<std::size_t>(limit));
    EXPECT_TRUE(isWholeRecordsOf(text, full)) << text.size();
    // What was written whole before the limit stays.
    if (limit > kBlock) {
      EXPECT_GT(text.size(), static_cast<std::size_t>(limit - kBlock));
    }
   }
  }
}

// A signal while the text is written: the process ends by it, and the text
// holds whole records only.
TEST(TxExport, SignalsLeaveWholeRecords) {
  // Records larger than the write buffer, so that parts of a record reach
  // the file and must be cut back; and many records that fit it.
  TestDatabase large;
  TestDatabase small;
  for (int i = 0; i < 10; ++i) {
    large.lists[0].push_back({0, 1, 1, "record " + std::to_string(i) + std::string(tx::TextFile::kBlockSize + 100000, 'x')});
  }
  for (int i = 0; i < 20000; ++i) small.lists[0].push_back({0, 1, 1, "record " + std::to_string(i) + std::string(1000, 'x')});
  TempDir dir;
  writeFile(dir.file("large.pdb"), txtest::buildDatabase(large));
  writeFile(dir.file("small.pdb"), txtest::buildDatabase(small));
  for (const char* name : {"large", "small"}) {
    const std::string db = dir.file(std::string(name) + ".pdb");
    ASSERT_EQ(runProgram(kExport, {db, dir.file("full.txt")}).status, 0);
    const std::string full = readFile(dir.file("full.txt"));
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGUSR1, SIGALRM}) {
     for (const bool linked : {true, false}) {
      SCOPED_TRACE(std::string(name) + " " + std::to_string(signal) + (linked ? " written into" : " replaced"));
      // Written into (a hard-linked text): the signal as soon as bytes reach
      // it.  Replaced: the new text has no name until it is complete, so the
      // signal comes after a few milliseconds.
      int waited = 0;
      txtest::RunOptions options;
      options.watch = [&](pid_t pid, const std::string&, std::string&) {
        struct stat info {};
        if (linked ? ::stat(dir.file("out.txt").c_str(), &info) != 0 || info.st_size == 0 : ++waited < 8) return false;
        ::kill(pid, signal);
        return true;
      };
      // On a loaded machine the signal can land after the last write, which
      // tests nothing: such a run is tried again, a few times at most.
      txtest::RunResult run;
      std::string text;
      for (int attempt = 0; attempt < 5 && (attempt == 0 || text.size() == full.size()); ++attempt) {
        ::unlink(dir.file("link.txt").c_str());
        writeFile(dir.file("out.txt"), linked ? "" : "mine");
        if (linked) {
          ASSERT_EQ(::link(dir.file("out.txt").c_str(), dir.file("link.txt").c_str()), 0);
        }
        waited = 0;
        run = runProgram(kExport, {db, dir.file("out.txt")}, options);
        text = readFile(dir.file("out.txt"));
      }
      EXPECT_EQ(run.status, 128 + signal);
      EXPECT_EQ(run.out + run.err, "");
      EXPECT_LT(text.size(), full.size());
      if (linked) {
        EXPECT_TRUE(isWholeRecordsOf(text, full)) << text.size();
      } else {
        EXPECT_EQ(text, "mine");
      }
      EXPECT_EQ(txtest::listDirectory(dir.path()).size(), linked ? 5u : 4u);  // nothing left beside them
     }
    }
  }
}

TEST(TxExport, ExportsTheShippedExample) {
  TempDir dir;
  const auto run = runProgram(kExport, {std::string(TX_SOURCE_DIR) + "/examples/example.pdb", dir.file("out.txt")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out + run.err, "");
  EXPECT_EQ(readFile(dir.file("out.txt")), readFile(std::string(TX_SOURCE_DIR) + "/examples/example.txt"));
}

}  // namespace
