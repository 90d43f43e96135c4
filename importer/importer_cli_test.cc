// TxImport run as a user runs it, with scripted answers on standard input.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <linux/fs.h>
#include <sys/acl.h>
#include <sys/ioctl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <ctime>
#include <thread>
#include <functional>
#include <string>
#include <vector>

#include "support/db_builder.h"
#include "system/file_io.h"
#include "system/open_file.h"
#include "importer/importer.h"
#include "importer/replacement_file.h"
#include "dbformat/database_file.h"
#include "dbformat/update_mark.h"
#include "support/failure.h"
#include "support/process.h"

namespace {

using txtest::fileExists;
using txtest::listDirectory;
using txtest::readFile;
using txtest::RunOptions;
using txtest::RunResult;
using txtest::TempDir;
using txtest::TestDatabase;
using txtest::TestRecord;
using txtest::writeFile;

const std::string kImport = TXIMPORT_PATH;
const std::string kExport = TXEXPORT_PATH;
const std::string kSep = "~~~~~~~~~~~~~~~~~~~~~~~~~~~\n";

std::string block(const std::string& category, int secret, int places, int strip, const std::string& text) {
  return "Category = \"" + category + "\"; Secret = " + std::to_string(secret) + "\nPlaces = " +
         std::to_string(places) + "; StripZeros = " + std::to_string(strip) + "\n" + text + "\n" + kSep;
}

std::string question(const std::string& firstLine) { return "Overwrite \"" + firstLine + "\" (Yes/No/All)? "; }

struct Rec {
  int attributes, places, strip;
  std::string text;
  bool operator==(const Rec&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Rec& r) {
  return out << "{0x" << std::hex << r.attributes << std::dec << "," << r.places << "," << r.strip << ",\"" << r.text
             << "\"}";
}

std::vector<Rec> recordsOf(const std::string& bytes) {
  std::vector<Rec> records;
  for (const auto& r : txtest::parseDatabase(bytes).records) 
    records.push_back({r.attributes, r.places, r.stripZeros, r.text});
  return records;
}

TestDatabase baseDatabase() {
  TestDatabase db;
  db.appInfo.names[0] = "Unfiled";
  db.appInfo.names[1] = "Work";
  db.appInfo.ids = {0, 1};
  db.appInfo.lastUniqueId = 1;
  db.lists = {{{0x00, 14, 1, "Alpha\nfirst body"}, {0x11, 2, 0, "Beta\nsecond body"}, {0x00, 14, 1, "Gamma"}}};
  return db;
}

const std::vector<Rec> kBaseRecords = {
    {0x00, 14, 1, "Alpha\nfirst body"}, {0x11, 2, 0, "Beta\nsecond body"}, {0x00, 14, 1, "Gamma"}};

// One import in a fresh directory: db.pdb from `db`, edits.txt from `text`.
struct Import {
  TempDir dir;
  std::string oldBytes;
  RunResult run;
  std::string db() const { return dir.file("db.pdb"); }
  std::string text() const { return dir.file("edits.txt"); }
};

void runImport(Import& im, const TestDatabase& db, const std::string& text, const std::string& answers,
               bool newFile = false, const std::vector<int>& closed = {}) {
  im.oldBytes = txtest::buildDatabase(db);
  writeFile(im.db(), im.oldBytes);
  writeFile(im.text(), text);
  std::vector<std::string> args = {im.db(), im.text()};
  if (newFile) args.push_back(im.dir.file("new.pdb"));
  RunOptions options;
  options.input = answers;
  options.closed = closed;
  im.run = txtest::runProgram(kImport, args, options);
}

TEST(TxImport, UsageWithWrongArgumentCount) {
  const std::string usage =
      "Format: TXIMPORT OldDbFileName TextFileName [NewDbFileName]\n\n"
      "Specify NewDbFileName to create a new database file and leave\n"
      "OldDbFileName untouched as a backup, or omit NewDbFileName\n"
      "to update OldDbFileName in place.\n";
  const std::vector<std::vector<std::string>> argumentLists = {{}, {"a.pdb"}, {"a", "b", "c", "d"}};
  for (const auto& args : argumentLists) {
    TempDir dir;
    RunOptions options;
    options.workingDirectory = dir.path();
    const auto run = txtest::runProgram(kImport, args, options);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, usage);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(listDirectory(dir.path()).empty());
  }
  const std::string help = usage + "\n--help     prints this text\n--version  prints the program's name and version\n"
                                   "The manual: man TxImport (on Windows, TxImport.txt beside the program)\n";
  const std::pair<std::string, std::string> options[] = {
      {"--help", help}, {"-h", help}, {"--version", "TxImport 1.0.0\n"}};
  for (const auto& [option, out] : options) {
    const auto run = txtest::runProgram(kImport, {option});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.err, "");
  }
}

struct MergeCase {
  const char* name;
  std::string text;
  std::string answers;
  std::string out;  // the questions asked
  std::vector<Rec> records;
  std::vector<TestRecord> added = {};  // after the base database's records
  std::string notes = "";  // "line N: words" lines, each a note on the text file
};

// The notes as the importer writes them for the text file `path`.
std::string notesOn(const std::string& path, const std::string& notes) {
  std::string out;
  for (std::size_t at = 0; at < notes.size();) {
    const std::size_t end = notes.find('\n', at) + 1;
    out += "TxImport: note: \"" + path + "\" " + notes.substr(at, end - at);
    at = end;
  }
  return out;
}

// A record with é, €, curly quotes and the character of the undefined byte
// 81, in the handheld's bytes and in UTF-8.
const std::string kCaf = "Caf\xE9 list\n\x80 5, \x93q\x94 \x81";
const std::string kUtf8Caf = "Caf\xC3\xA9 list\n\xE2\x82\xAC 5, \xE2\x80\x9Cq\xE2\x80\x9D \xC2\x81";

std::vector<MergeCase> mergeCases() {
  const Rec alpha = kBaseRecords[0], beta = kBaseRecords[1], gamma = kBaseRecords[2];
  const Rec alphaEdited{0x00, 14, 1, "Alpha\nedited body"};
  const Rec betaEdited{0x01, 14, 1, "Beta\nother"};
  // Two records that share a first line, as an earlier No leaves them.
  const std::vector<TestRecord> doors = {{0x00, 14, 1, "Door code\n4711"}, {0x00, 14, 1, "Door code\n1234"}};
  const Rec door1{0x00, 14, 1, "Door code\n4711"}, door2{0x00, 14, 1, "Door code\n1234"};
  const Rec door0{0x00, 14, 1, "Door code\n0000"}, door9{0x00, 14, 1, "Door code\n9999"};
  const std::string doorsText = block("Unfiled", 0, 14, 1, "Door code\n4711") + block("Unfiled", 0, 14, 1, "Door code\n1234");
  return {
      {"new records are appended in text order", "New one\n" + kSep + "Another\nwith two lines\n" + kSep, "", "",
       {alpha, beta, gamma, {0, 14, 1, "New one"}, {0, 14, 1, "Another\nwith two lines"}}},
      {"duplicates change nothing and ask nothing",
       block("Unfiled", 0, 14, 1, "Alpha\nfirst body") + block("Work", 1, 2, 0, "Beta\nsecond body"), "", "",
       kBaseRecords},
      {"Yes replaces in place", "Alpha\nedited body\n" + kSep, "y\n", question("Alpha"), {alphaEdited, beta, gamma}},
      {"No keeps both, the new one last", "Alpha\nedited body\n" + kSep, "n\n", question("Alpha"),
       {alpha, beta, gamma, alphaEdited}},
      {"All replaces every later conflict without asking",
       "Alpha\nedited body\n" + kSep + block("Work", 0, 14, 1, "Beta\nother") + "Gamma\n" + kSep, "a\n",
       question("Alpha"), {alphaEdited, betaEdited, gamma}},
      {"answers are read in order from a pipe", "Alpha\nedited body\n" + kSep + block("Work", 0, 14, 1, "Beta\nother"),
       "n\ny\n", question("Alpha") + question("Beta"), {alpha, betaEdited, gamma, alphaEdited}},
      {"a long answer line is consumed whole",
       "Alpha\nedited body\n" + kSep + block("Work", 0, 14, 1, "Beta\nother"), "y" + std::string(100000, 'n') + "\nn\n",
       question("Alpha") + question("Beta"), {alphaEdited, beta, gamma, betaEdited}},
      {"a differing setting is a conflict", block("Unfiled", 0, 3, 1, "Gamma"), "y\n", question("Gamma"),
       {alpha, beta, {0, 3, 1, "Gamma"}}},
      {"one-line text does not match a longer record", "Alpha\n" + kSep, "", "",
       {alpha, beta, gamma, {0, 14, 1, "Alpha"}}},
      {"several lines do not match a one-line record", "Gamma\nmore\n" + kSep, "", "",
       {alpha, beta, gamma, {0, 14, 1, "Gamma\nmore"}}},
      {"records appended in the same merge meet each other", "New\none\n" + kSep + "New\ntwo\n" + kSep, "y\n",
       question("New"), {alpha, beta, gamma, {0, 14, 1, "New\ntwo"}}},
      {"a record in a new category differs", block("Brand new", 0, 14, 1, "Gamma"), "y\n", question("Gamma"),
       {alpha, beta, {0x02, 14, 1, "Gamma"}}},
      {"a given-up record ends the merge",
       "First new\n" + kSep + "Category = \"Work\"; Secret = 1\n" + kSep + "Never read\n" + kSep, "", "",
       {alpha, beta, gamma, {0, 14, 1, "First new"}}, {},
       "line 4: the reading ends at this separator, since the record before it has header lines but no text; the 2 "
       "lines after it were not read\n"},
      {"an empty text file rewrites the same records", "", "", "", kBaseRecords},
      {"a UTF-8 byte-order mark is passed over", "\xEF\xBB\xBF" + block("Unfiled", 0, 14, 1, "Alpha\nedited body"), "y\n",
       question("Alpha"), {alphaEdited, beta, gamma}},
      // A text with the mark is UTF-8: é, €, curly quotes and the character
      // of an undefined byte become the handheld's bytes, so an untouched
      // record matches and one edited replaces it.
      {"a UTF-8 text with its mark is converted to the handheld's bytes",
       "\xEF\xBB\xBF" + block("Unfiled", 0, 14, 1, kUtf8Caf) + block("Unfiled", 0, 14, 1, "Caf\xC3\xA9 2\n\xE2\x82\xAC 7"),
       "y\n", question("Caf\xE9 2"), {alpha, beta, gamma, {0, 14, 1, kCaf}, {0, 14, 1, "Caf\xE9 2\n\x80 7"}},
       {{0, 14, 1, kCaf}, {0, 14, 1, "Caf\xE9 2\n\x80 5"}}},
      {"UTF-8 without the mark: read as bytes, and noted", block("Unfiled", 0, 14, 1, kUtf8Caf), "", "",
       {alpha, beta, gamma, {0, 14, 1, kCaf}, {0, 14, 1, kUtf8Caf}}, {{0, 14, 1, kCaf}},
       "line 3: this line holds C3 A9, the UTF-8 form of U+00E9: the text seems to be saved as UTF-8; save it in "
       "Windows-1252, or as UTF-8 with a byte-order mark, so that it is read as meant\n"
       "line 4: this line holds E2 82 AC, the UTF-8 form of U+20AC: the text seems to be saved as UTF-8; save it in "
       "Windows-1252, or as UTF-8 with a byte-order mark, so that it is read as meant\n"},
      {"old Mac line ends: one line, noted", "Alpha\rchanged\r", "", "", {alpha, beta, gamma, {0, 14, 1, "Alpha"}}, {},
       "line 1: this text has carriage returns but no line feed (the old Mac line ends), so it was read as one line: "
       "save it with CR LF or LF line ends\n"},
      // Records that share a first line are paired, each text record with
      // the first of them that no earlier text record met.
      {"records of one first line come back unchanged, asking nothing", doorsText, "", "",
       {alpha, beta, gamma, door1, door2}, doors},
      {"... whatever the answers would be: yes", doorsText, "y\ny\n", "", {alpha, beta, gamma, door1, door2}, doors},
      {"... all", doorsText, "a\n", "", {alpha, beta, gamma, door1, door2}, doors},
      {"... no", doorsText, "n\nn\n", "", {alpha, beta, gamma, door1, door2}, doors},
      {"... in the other order too",
       block("Unfiled", 0, 14, 1, "Door code\n1234") + block("Unfiled", 0, 14, 1, "Door code\n4711"), "", "",
       {alpha, beta, gamma, door1, door2}, doors},
      {"an edit of the second of them replaces the second",
       block("Unfiled", 0, 14, 1, "Door code\n4711") + block("Unfiled", 0, 14, 1, "Door code\n9999"), "y\n",
       question("Door code"), {alpha, beta, gamma, door1, door9}, doors},
      {"an edit of the first of them replaces the first",
       block("Unfiled", 0, 14, 1, "Door code\n0000") + block("Unfiled", 0, 14, 1, "Door code\n1234"), "y\n",
       question("Door code"), {alpha, beta, gamma, door0, door2}, doors},
      {"No to an edit of the first keeps both records and adds one",
       block("Unfiled", 0, 14, 1, "Door code\n0000") + block("Unfiled", 0, 14, 1, "Door code\n1234"), "n\n",
       question("Door code"), {alpha, beta, gamma, door1, door2, door0}, doors},
      {"with every record met, the first is asked about",
       doorsText + block("Unfiled", 0, 14, 1, "Door code\n9999"), "y\n", question("Door code"),
       {alpha, beta, gamma, door9, door2}, doors},
      {"a record identical to one this run added is dropped",
       "New\none\n" + kSep + "New\ntwo\n" + kSep + "New\none\n" + kSep, "n\n", question("New"),
       {alpha, beta, gamma, {0, 14, 1, "New\none"}, {0, 14, 1, "New\ntwo"}}},
      // Notes on what the import did not do; everything else as without them.
      {"notes: a typo in a header line, a short separator, a record with no text",
       "Category =\"Work\"; Secret = 1\nPlaces = 2; StripZeros = 0\nDelta\n" + kSep + "Epsilon\n" +
           std::string(26, '~') + "\nZeta\n" + kSep + "Category = \"Work\"; Secret = 1\n" + kSep + "\nEta\n\nTheta\n",
       "", "", {alpha, beta, gamma,
        {0, 14, 1, "Category =\"Work\"; Secret = 1\nPlaces = 2; StripZeros = 0\nDelta"},
        {0, 14, 1, "Epsilon\n" + std::string(26, '~') + "\nZeta"}}, {},
       "line 1: kept as text, not read as a category line: the exact form is Category = \"Name\"; Secret = 0\n"
       "line 6: a line of 26 tildes is text, not a separator (a separator is 27 tildes), so the blocks before and "
       "after it are one record\n"
       "line 10: the reading ends at this separator, since the record before it has header lines but no text; the 4 "
       "lines after it were not read\n"},
  };
}

TEST(TxImport, MergesAsAnswered) {
  for (const MergeCase& c : mergeCases()) {
    SCOPED_TRACE(c.name);
    Import im;
    TestDatabase db = baseDatabase();
    db.lists[0].insert(db.lists[0].end(), c.added.begin(), c.added.end());
    const std::time_t before = std::time(nullptr);
    runImport(im, db, c.text, c.answers);
    const std::time_t after = std::time(nullptr);
    EXPECT_EQ(im.run.status, 0);
    EXPECT_EQ(im.run.out, c.out);
    EXPECT_EQ(im.run.err, notesOn(im.text(), c.notes));
    const std::string bytes = readFile(im.db());
    EXPECT_EQ(recordsOf(bytes), c.records);
    const auto parsed = txtest::parseDatabase(bytes);
    EXPECT_EQ(parsed.nextListOffset, 0u);
    const std::uint32_t created = txtest::get32(bytes, 36);
    EXPECT_GE(created, static_cast<std::uint32_t>(before));
    EXPECT_LE(created, static_cast<std::uint32_t>(after));
    EXPECT_EQ(txtest::get32(bytes, 40), created);
    EXPECT_EQ(txtest::get32(bytes, 44), created);
    // Every other header field as it was.
    EXPECT_EQ(bytes.substr(0, 36), im.oldBytes.substr(0, 36));
    EXPECT_EQ(bytes.substr(48, 4), im.oldBytes.substr(48, 4));
    EXPECT_EQ(bytes.substr(56, 16), im.oldBytes.substr(56, 16));
    EXPECT_EQ(listDirectory(im.dir.path()), (std::vector<std::string>{"db.pdb", "edits.txt"}));
  }
}

TEST(TxImport, NewCategoryIsNamedInTheBlock) {
  Import im;
  runImport(im, baseDatabase(), block("Brand new", 1, 14, 1, "Delta"), "");
  ASSERT_EQ(im.run.status, 0);
  const std::string appInfo = txtest::parseDatabase(readFile(im.db())).appInfo;
  const std::string oldAppInfo = im.oldBytes.substr(txtest::appInfoOffsetOf(baseDatabase()), 310);
  EXPECT_EQ(appInfo.substr(2 + 32, 10), std::string("Brand new\0", 10));
  EXPECT_EQ(appInfo[258 + 2], 2);
  EXPECT_EQ(appInfo[274], 2);
  EXPECT_EQ(appInfo.substr(0, 2), oldAppInfo.substr(0, 2));
  EXPECT_EQ(appInfo.substr(275), oldAppInfo.substr(275));
  EXPECT_EQ(recordsOf(readFile(im.db())).back(), (Rec{0x12, 14, 1, "Delta"}));
}

TEST(TxImport, AnswerLetters) {
  struct Case {
    std::string answers;
    int questions;
    bool replaced;
  };
  const Case cases[] = {
      {"y\n", 1, true},          {"yes\n", 1, true},      {"Y\n", 1, true},  {"YES\n", 1, true},
      {"x\ny\n", 2, true},       {"\ny\n", 2, true},      {" y\ny\n", 2, true}, {"nope\n", 1, false},
      {"N\n", 1, false},         {"\r\nn\n", 2, false},   {"y", 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answers);
    Import im;
    runImport(im, baseDatabase(), "Alpha\nchanged\n" + kSep, c.answers);
    EXPECT_EQ(im.run.status, 0);
    std::string asked;
    for (int i = 0; i < c.questions; ++i) asked += question("Alpha");
    EXPECT_EQ(im.run.out, asked);
    const auto records = recordsOf(readFile(im.db()));
    EXPECT_EQ(records.size(), c.replaced ? 3u : 4u);
    EXPECT_EQ(records[0].text, c.replaced ? "Alpha\nchanged" : "Alpha\nfirst body");
    EXPECT_EQ(records.back().text, c.replaced ? "Gamma" : "Alpha\nchanged");
  }
}

TEST(TxImport, NewFileLeavesTheOldDatabase) {
  Import im;
  runImport(im, baseDatabase(), "Added\n" + kSep, "", true);
  EXPECT_EQ(im.run.status, 0);
  EXPECT_EQ(readFile(im.db()), im.oldBytes);
  auto expected = kBaseRecords;
  expected.push_back({0, 14, 1, "Added"});
  EXPECT_EQ(recordsOf(readFile(im.dir.file("new.pdb"))), expected);
}

// Export, then import unchanged: the same records in the same order, the same
// category block, no question; several lists and data out of order included.
TEST(TxImport, RoundTripUnchanged) {
  TestDatabase db = baseDatabase();
  db.lists.push_back({{0xF3, 0, 0, "\xFF high\n\n\ttab"}, {0x01, 255, 1, ""}});
  db.reverseData = true;
  // Every category used is named: an empty name would resolve to the first free slot.
  db.appInfo.names[3] = "Three";
  TempDir dir;
  writeFile(dir.file("db.pdb"), txtest::buildDatabase(db));
  ASSERT_EQ(txtest::runProgram(kExport, {dir.file("db.pdb"), dir.file("db.txt")}).status, 0);
  const auto run = txtest::runProgram(kImport, {dir.file("db.pdb"), dir.file("db.txt"), dir.file("new.pdb")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out + run.err, "");
  auto expected = kBaseRecords;
  expected.push_back({0x13, 0, 0, "\xFF high\n\n\ttab"});
  expected.push_back({0x01, 255, 1, ""});
  const std::string bytes = readFile(dir.file("new.pdb"));
  EXPECT_EQ(recordsOf(bytes), expected);
  EXPECT_EQ(txtest::parseDatabase(bytes).appInfo, txtest::buildDatabase(db).substr(txtest::appInfoOffsetOf(db), 310));
}

TEST(TxImport, StripZerosTwoCountsAsAConflict) {
  TestDatabase db = baseDatabase();
  db.lists[0][2].stripZeros = 2;
  TempDir dir;
  writeFile(dir.file("db.pdb"), txtest::buildDatabase(db));
  ASSERT_EQ(txtest::runProgram(kExport, {dir.file("db.pdb"), dir.file("db.txt")}).status, 0);
  RunOptions options;
  options.input = "n\n";
  const auto run = txtest::runProgram(kImport, {dir.file("db.pdb"), dir.file("db.txt")}, options);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, question("Gamma"));
  const auto records = recordsOf(readFile(dir.file("db.pdb")));
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[2].strip, 2);
  EXPECT_EQ(records[3].strip, 1);
  // Answering No round after round keeps those two records, no more: each
  // text record is identical to the copy the first round added.
  for (int round = 2; round <= 4; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(txtest::runProgram(kExport, {dir.file("db.pdb"), dir.file("db.txt")}).status, 0);
    options.input = "n\nn\nn\n";
    const auto again = txtest::runProgram(kImport, {dir.file("db.pdb"), dir.file("db.txt")}, options);
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out + again.err, "");
    EXPECT_EQ(recordsOf(readFile(dir.file("db.pdb"))), records);
  }
}

// Failures: status 1, the message, and every file exactly as before.
TEST(TxImport, FailuresLeaveEveryFileAsItWas) {
  struct Case {
    const char* name;
    std::string text;
    std::string answers;
    std::string out;
    std::string err;
    std::vector<int> closed = {};  // standard descriptors closed at the start
  };
  const std::string ended = "Error reading answer: standard input ended before an answer was given\n";
  const Case cases[] = {
      {"input ends before an answer", "Alpha\nchanged\n" + kSep, "", question("Alpha"),
       "Error reading answer: standard input ended before an answer was given\n"},
      {"input ends after invalid answers", "Alpha\nchanged\n" + kSep, "x\n\n", question("Alpha") + question("Alpha") +
       question("Alpha"), "Error reading answer: standard input ended before an answer was given\n"},
      // A closed descriptor is never taken by a file: the database named
      // "Yes..." would otherwise answer its own question.
      {"standard input closed", "Alpha\nchanged\n" + kSep, "", question("Alpha"), ended, {0}},
      {"standard input and output closed", "Alpha\nchanged\n" + kSep, "", "", ended, {0, 1}},
      // Refused before any question, where the text was converted.
      {"a UTF-8 text with a character the handheld's set lacks",
       "\xEF\xBB\xBF" "Alpha\nchanged\n" + kSep + "Arrow\n\xE2\x86\x92 here\n" + kSep, "y\n", "",
       "Error reading text file: line 5 holds a character that the handheld's character set does not have\n"},
      {"a UTF-8 text with a byte that is not UTF-8", "\xEF\xBB\xBF" "Alpha\nchanged \xE9\n" + kSep, "y\n", "",
       "Error reading text file: line 2 holds a character that the handheld's character set does not have\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool newFile : {false, true}) {
      Import im;
      TestDatabase db = baseDatabase();
      db.name = "Yes, all";
      runImport(im, db, c.text, c.answers, newFile, c.closed);
      EXPECT_EQ(im.run.status, 1);
      EXPECT_EQ(im.run.out, c.out);
      EXPECT_EQ(im.run.err, c.err);
      EXPECT_EQ(readFile(im.db()), im.oldBytes);
      EXPECT_EQ(listDirectory(im.dir.path()), (std::vector<std::string>{"db.pdb", "edits.txt"}));
    }
  }
}

// Sets or clears one of a file's attribute flags (append-only, immutable);
// false where it cannot.
bool setFileFlag(const std::string& path, int flag, bool on) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  int flags = 0;
  bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? flags | flag : flags & ~flag;
  done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  ::close(fd);
  return done;
}

// Every file of the directory, name and bytes.
std::vector<std::pair<std::string, std::string>> snapshot(const TempDir& dir) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const std::string& name : listDirectory(dir.path())) {
    struct stat info {};
    const bool regular = ::stat(dir.file(name).c_str(), &info) == 0 && S_ISREG(info.st_mode);
    files.emplace_back(name, regular ? readFile(dir.file(name)) : "(not a file)");
  }
  return files;
}

TEST(TxImport, OpenAndReadFailures) {
  TempDir dir;
  const std::string old = txtest::buildDatabase(baseDatabase());
  writeFile(dir.file("db.pdb"), old);
  writeFile(dir.file("db2.pdb"), old);
  writeFile(dir.file("t.txt"), "Added\n");
  writeFile(dir.file("q.txt"), "Alpha\nchanged\n" + kSep);  // asks a question
  writeFile(dir.file("notdb"), std::string(100, 'x'));
  writeFile(dir.file("short"), "x");
  writeFile(dir.file("u16.txt"), "\xFF\xFE" "A\0l\0p\0h\0a\0\n\0");
  writeFile(dir.file("u16le.txt"), std::string("A\0l\0p\0h\0a\0\n\0", 12));
  writeFile(dir.file("u16be.txt"), std::string("\0A\0l\0p\0h\0a\0\n", 12));
  ::mkdir(dir.file("adir").c_str(), 0755);
  // Append-only and immutable databases, where the file system has them.
  writeFile(dir.file("append.pdb"), old);
  writeFile(dir.file("fixed.pdb"), old);
  const bool attributes =
      setFileFlag(dir.file("append.pdb"), FS_APPEND_FL, true) && setFileFlag(dir.file("fixed.pdb"), FS_IMMUTABLE_FL, true);
  const auto before = snapshot(dir);
  struct Case {
    std::vector<std::string> args;
    std::string out, err;
    std::optional<std::string> input = std::nullopt;
    std::optional<long> openFiles = std::nullopt;
    bool needsAttributes = false;
  };
  const Case cases[] = {
      {{dir.file("none.pdb"), dir.file("t.txt")}, "Can't open \"" + dir.file("none.pdb") + "\": No such file or directory", ""},
      {{dir.file("db.pdb"), dir.file("none.txt")}, "Can't open \"" + dir.file("none.txt") + "\": No such file or directory", ""},
      {{dir.file("db.pdb"), dir.file("adir")}, "", "Error reading text file: Is a directory\n"},
      // Output problems are found before the first question.
      {{dir.file("db.pdb"), dir.file("q.txt"), dir.file("no/dir/new.pdb")},
       "Can't open \"" + dir.file("no/dir/new.pdb") + "\": No such file or directory", ""},
      {{dir.file("notdb"), dir.file("t.txt"), dir.file("x.pdb")}, "Not a Tallix database file\n", ""},
      {{dir.file("t.txt"), dir.file("t.txt"), dir.file("x.pdb")}, "", "Error reading database header: unexpected end of file\n"},
      {{dir.file("db.pdb"), dir.file("t.txt"), dir.file("t.txt")},
       "Can't open \"" + dir.file("t.txt") + "\": it is the text file itself", ""},
      {{dir.file("db.pdb"), dir.file("db.pdb")}, "Can't open \"" + dir.file("db.pdb") + "\": it is the text file itself", ""},
      {{dir.file("db.pdb"), dir.file("t.txt"), "/dev/full"}, "", "Error writing database header: No space left on device\n"},
      // The text file and the new database swapped.
      {{dir.file("db.pdb"), dir.file("db2.pdb"), dir.file("t.txt")},
       "Can't open \"" + dir.file("db2.pdb") + "\": it is a Tallix database, not a text file", ""},
      {{dir.file("db.pdb"), dir.file("q.txt"), dir.file("adir")}, "Can't open \"" + dir.file("adir") + "\": Is a directory", ""},
      {{dir.file("db.pdb"), dir.file("q.txt"), dir.file("notdb")},
       "Can't open \"" + dir.file("notdb") + "\": it exists and is not a Tallix database, so it is not overwritten", ""},
      {{dir.file("db.pdb"), dir.file("q.txt"), dir.file("short")},
       "Can't open \"" + dir.file("short") + "\": it exists and is not a Tallix database, so it is not overwritten", ""},
      {{dir.file("db.pdb"), dir.file("u16.txt")},
       "Can't open \"" + dir.file("u16.txt") + "\": it is UTF-16 text; save it as UTF-8 or in an 8-bit character set", ""},
      // UTF-16 without a mark, as some tools write it.
      {{dir.file("db.pdb"), dir.file("u16le.txt")},
       "Can't open \"" + dir.file("u16le.txt") + "\": it is UTF-16 text; save it as UTF-8 or in an 8-bit character set", ""},
      {{dir.file("db.pdb"), dir.file("u16be.txt")},
       "Can't open \"" + dir.file("u16be.txt") + "\": it is UTF-16 text; save it as UTF-8 or in an 8-bit character set", ""},
      // Answers would be read out of the text itself.
      {{dir.file("db.pdb"), "/dev/stdin"}, "",
       "Error reading answer: standard input is the text file itself; give the answers another way (a pipe, a file or "
       "the terminal)\n",
       "Alpha\nchanged\n" + kSep},
      // Refused before the first question, not after it.
      {{dir.file("append.pdb"), dir.file("q.txt")}, "Can't open \"" + dir.file("append.pdb") + "\": Operation not permitted",
       "", std::nullopt, std::nullopt, true},
      {{dir.file("fixed.pdb"), dir.file("q.txt")}, "Can't open \"" + dir.file("fixed.pdb") + "\": Operation not permitted",
       "", std::nullopt, std::nullopt, true},
      {{dir.file("db.pdb"), dir.file("q.txt"), dir.file("append.pdb")},
       "Can't open \"" + dir.file("append.pdb") + "\": Operation not permitted", "", std::nullopt, std::nullopt, true},
      // The database cannot be opened again to copy its permissions: not a
      // reason to write into the old file instead.
      {{dir.file("db.pdb"), dir.file("q.txt")}, "Can't open \"" + dir.file("db.pdb") + "\": Too many open files", "",
       std::nullopt, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    if (c.needsAttributes && !attributes) continue;
#ifdef TX_SANITIZED
    // The sanitizers' runtime needs descriptors of its own to check a call.
    if (c.openFiles) continue;
#endif
    RunOptions options;
    options.input = c.input;
    options.openFileLimit = c.openFiles;
    const auto run = txtest::runProgram(kImport, c.args, options);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_TRUE(snapshot(dir) == before);
  }
  setFileFlag(dir.file("append.pdb"), FS_APPEND_FL, false);
  setFileFlag(dir.file("fixed.pdb"), FS_IMMUTABLE_FL, false);
  if (!attributes) GTEST_SKIP() << "append-only and immutable files need root and a file system that has them";
}

// Outputs that are written: an empty file, a device, a database of any
// version; and a text read from standard input when no question is needed.
TEST(TxImport, WritesWhereItMay) {
  TestDatabase version2 = baseDatabase();
  version2.version = 2;
  struct Case {
    const char* name;
    std::optional<std::string> output;  // the existing output's bytes
    std::string outputPath;             // when not new.pdb
    std::string textPath;               // when not edits.txt
  };
  const Case cases[] = {
      {"an empty file", "", "", ""},
      {"a database of another version", txtest::buildDatabase(version2), "", ""},
      {"a device", std::nullopt, "/dev/null", ""},
      {"the text on standard input", std::nullopt, "", "/dev/stdin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    writeFile(dir.file("db.pdb"), txtest::buildDatabase(baseDatabase()));
    writeFile(dir.file("edits.txt"), "Added\n" + kSep);
    if (c.output) writeFile(dir.file("new.pdb"), *c.output);
    const std::string output = c.outputPath.empty() ? dir.file("new.pdb") : c.outputPath;
    RunOptions options;
    options.input = "Added\n" + kSep;
    const auto run = txtest::runProgram(
        kImport, {dir.file("db.pdb"), c.textPath.empty() ? dir.file("edits.txt") : c.textPath, output}, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out + run.err, "");
    if (c.outputPath.empty()) {
      EXPECT_EQ(recordsOf(readFile(output)).back().text, "Added");
    }
  }
}

// A file-size limit part way: the old database stays, whether the new one
// goes to a file of its own or (the database has a second link) into the old
// file, growing it or, with a shorter record, not.
TEST(TxImport, FileSizeLimitPartWayLeavesTheOldDatabase) {
  TestDatabase db = baseDatabase();
  for (int i = 0; i < 2000; ++i) db.lists[0].push_back({0, 14, 1, "Record " + std::to_string(i) + "\n" + std::string(60, 'b')});
  struct Case {
    bool linked;
    std::string text, answers;
  };
  const Case cases[] = {{false, "Added\n" + kSep, ""}, {true, "Added\n" + kSep, ""}, {true, "Record 1\nshort\n" + kSep, "y\n"}};
  for (const Case& c : cases) {
    for (long limit : {0L, 50L, 100L, 5000L, 40000L, 70000L, 150000L}) {
      SCOPED_TRACE(c.text + (c.linked ? " linked at " : " at ") + std::to_string(limit));
      Import im;
      im.oldBytes = txtest::buildDatabase(db);
      writeFile(im.db(), im.oldBytes);
      writeFile(im.text(), c.text);
      if (c.linked) {
        ASSERT_EQ(::link(im.db().c_str(), im.dir.file("link.pdb").c_str()), 0);
      }
      RunOptions options;
      options.fileSizeLimit = limit;
      options.input = c.answers;
      im.run = txtest::runProgram(kImport, {im.db(), im.text()}, options);
      EXPECT_EQ(im.run.status, 1);
      EXPECT_EQ(im.run.out, c.answers.empty() ? "" : question("Record 1"));
      EXPECT_NE(im.run.err.find(": File too large\n"), std::string::npos) << im.run.err;
      EXPECT_EQ(im.run.err.rfind("Error writing database ", 0), 0u) << im.run.err;
      EXPECT_TRUE(readFile(im.db()) == im.oldBytes);
      EXPECT_EQ(listDirectory(im.dir.path()).size(), c.linked ? 3u : 2u);
    }
  }
}

// True when the program `pid` has begun to write the new database: it holds
// an unnamed file in `dir` or the hidden temporary file there open, or it
// has changed db.pdb itself (last modified other than at `before`).
bool writesNewDatabase(pid_t pid, const std::string& dir, const struct timespec& before) {
  struct stat db {};
  if (::stat((dir + "/db.pdb").c_str(), &db) == 0 &&
      (db.st_mtim.tv_sec != before.tv_sec || db.st_mtim.tv_nsec != before.tv_nsec)) {
    return true;
  }
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  for (const std::string& name : listDirectory(fds)) {
    char target[4096];
    const ssize_t length = ::readlink((fds + "/" + name).c_str(), target, sizeof target);
    if (length <= 0) continue;
    const std::string path(target, static_cast<std::size_t>(length));
    if (path.rfind(dir + "/#", 0) == 0 || path.rfind(dir + "/.db.pdb.TxImport-", 0) == 0) return true;
  }
  return false;
}

// A signal while the new database is written: the process ends by it, the
// database is the old one or the complete new one, and nothing else is left.
TEST(TxImport, SignalsWhileWritingLeaveOldOrNew) {
  TestDatabase db = baseDatabase();
  for (int i = 0; i < 60000; ++i) db.lists[0].push_back({0, 14, 1, "Record " + std::to_string(i) + "\n" + std::string(300, 'b')});
  const std::string oldBytes = txtest::buildDatabase(db);
  // With a second link the new database is written into the old file; a
  // SIGKILL there can leave it torn, with its rollback copy beside it, until
  // the next run of either program puts the old bytes back.
  for (const auto& [signalNumber, linked] : std::vector<std::pair<int, bool>>{{SIGINT, false}, {SIGTERM, false}, {SIGHUP, false},
                                                                       {SIGPIPE, false}, {SIGKILL, false}, {SIGQUIT, false},
                                                                       {SIGUSR1, false}, {SIGALRM, false}, {SIGINT, true},
                                                                       {SIGTERM, true}, {SIGHUP, true}, {SIGPIPE, true},
                                                                       {SIGQUIT, true}, {SIGUSR1, true}, {SIGALRM, true},
                                                                       {SIGXCPU, true}, {SIGUSR2, true},
                                                                       {SIGKILL, true}, {SIGKILL, true}}) {
    const int signal = signalNumber;
    static int kills = 0;
    SCOPED_TRACE(std::to_string(signal) + (linked ? " linked" : ""));
    Import im;
    writeFile(im.db(), oldBytes);
    writeFile(im.text(), "Added\n" + kSep);
    if (linked) {
      ASSERT_EQ(::link(im.db().c_str(), im.dir.file("link.pdb").c_str()), 0);
    }
    struct stat before {};
    ASSERT_EQ(::stat(im.db().c_str(), &before), 0);
    RunOptions options;
    options.watch = [&](pid_t pid, const std::string&, std::string&) {
      if (!writesNewDatabase(pid, im.dir.path(), before.st_mtim)) return false;
      ::kill(pid, signal);
      return true;
    };
    im.run = txtest::runProgram(kImport, {im.db(), im.text()}, options);
    EXPECT_EQ(im.run.status, 128 + signal);
    EXPECT_EQ(im.run.out + im.run.err, "");
    if (signal == SIGKILL && linked) {
      // One run of either program, which reads the database first.
      const bool exporter = kills++ % 2 == 0;
      const auto next = exporter ? txtest::runProgram(kExport, {im.db(), "/dev/null"})
                                 : txtest::runProgram(kImport, {im.db(), im.text(), "/dev/null"});
      EXPECT_EQ(next.status, 0) << next.out << next.err;
      if (!next.err.empty()) {
        EXPECT_EQ(next.err.rfind(exporter ? "TxExport: note: \"" : "TxImport: note: \"", 0), 0u) << next.err;
      }
    }
    const std::string bytes = readFile(im.db());
    if (bytes != oldBytes) {
      const auto records = recordsOf(bytes);
      ASSERT_EQ(records.size(), 60004u);
      EXPECT_EQ(records.back().text, "Added");
    }
    EXPECT_EQ(listDirectory(im.dir.path()).size(), linked ? 3u : 2u);
  }
}

// Memory that runs out while loading, merging or writing: "malloc() failure",
// status 1, and every file as it was.
TEST(TxImport, ExhaustedMemoryChangesNothing) {
#ifdef TX_SANITIZED
  GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit here allows";
#endif
  // 100 entries that share one text of 256 KiB: the file is small, the
  // records are not, but a shared text is held once.
  TestDatabase shared = baseDatabase();
  shared.lists = {std::vector<TestRecord>(99, {0, 14, 1, "x"})};
  shared.lists[0].push_back({0, 14, 1, std::string(1 << 18, 's')});
  std::string sharedBytes = txtest::buildDatabase(shared);
  const std::size_t entries = txtest::recordListOffset(shared, 0) + 6;
  const std::uint32_t bigText = txtest::get32(sharedBytes, entries + 99 * 8);
  for (std::size_t i = 0; i < 99; ++i) txtest::put32(sharedBytes, entries + 8 * i, bigText);

  TestDatabase large = baseDatabase();
  for (int i = 0; i < 20000; ++i) large.lists[0].push_back({0, 14, 1, "Record " + std::to_string(i) + "\n" + std::string(300, 'b')});
  const std::string largeBytes = txtest::buildDatabase(large);

  struct Case {
    const char* name;
    std::string db;
    std::string text;  // a path, or the text of edits.txt
    long limitMiB;
    std::size_t records;  // when the import may succeed: the records written
    bool mustSucceed = false;
  };
  std::vector<Case> cases = {{"one text shared by every entry", sharedBytes, "", 24, 101, true},
                             {"an endless text file", txtest::buildDatabase(baseDatabase()), "/dev/zero", 64, 0}};
  // Around the least this import needs, so that some limits are reached while
  // writing; there, success with the complete new database is right too.
  for (long limit = 8; limit <= 18; ++limit) cases.push_back({"a large database", largeBytes, "", limit, 20004});
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(c.limitMiB) + " MiB");
    Import im;
    writeFile(im.db(), c.db);
    writeFile(im.text(), "Added\n" + kSep);
    RunOptions options;
    options.addressSpaceLimit = c.limitMiB << 20;
    im.run = txtest::runProgram(kImport, {im.db(), c.text.empty() ? im.text() : c.text}, options);
    EXPECT_EQ(listDirectory(im.dir.path()), (std::vector<std::string>{"db.pdb", "edits.txt"}));
    if (c.mustSucceed) {
      EXPECT_EQ(im.run.status, 0) << im.run.err;
    }
    if (im.run.status == 0 && c.records > 0) {
      EXPECT_EQ(recordsOf(readFile(im.db())).size(), c.records);
      continue;
    }
    EXPECT_EQ(im.run.status, 1);
    EXPECT_EQ(im.run.out, "");
    EXPECT_EQ(im.run.err, "malloc() failure: Cannot allocate memory\n");
    EXPECT_TRUE(readFile(im.db()) == c.db);
  }
}

// What an import killed between naming its new file and renaming it left
// behind goes with the next import of that database; nothing else does.
TEST(TxImport, StrayCopiesOfAKilledImportAreRemoved) {
  for (bool newFile : {false, true}) {
    SCOPED_TRACE(newFile ? "another database as the output" : "in place");
    Import im;
    im.oldBytes = txtest::buildDatabase(baseDatabase());
    writeFile(im.db(), im.oldBytes);
    writeFile(im.text(), "Added\n" + kSep);
    const std::string output = newFile ? im.dir.file("new.pdb") : im.db();
    if (newFile) {
      writeFile(output, im.oldBytes);
    }
    const std::string stem = newFile ? ".new.pdb.TxImport-" : ".db.pdb.TxImport-";
    const struct timespec hourAgo[2] = {{std::time(nullptr) - 3600, 0}, {std::time(nullptr) - 3600, 0}};
    const std::vector<std::string> stray = {stem + "AbC123", stem + "zzzzz9"};
    const std::vector<std::string> kept = {stem + "AbC12", stem + "AbC1234", stem + "AbC-23", ".other.pdb.TxImport-AbC123",
                                           stem + "Fresh1"};
    for (const std::string& name : stray) writeFile(im.dir.file(name), "secret records");
    for (const std::string& name : kept) writeFile(im.dir.file(name), "not ours to remove");
    for (const std::string& name : stray) ASSERT_EQ(::utimensat(AT_FDCWD, im.dir.file(name).c_str(), hourAgo, 0), 0);
    // One newer than this import: another's, still at work.
    const struct timespec later[2] = {{std::time(nullptr) + 3600, 0}, {std::time(nullptr) + 3600, 0}};
    for (const std::string& name : kept) {
      ASSERT_EQ(::utimensat(AT_FDCWD, im.dir.file(name).c_str(), name == stem + "Fresh1" ? later : hourAgo, 0), 0);
    }
    std::vector<std::string> args = {im.db(), im.text()};
    if (newFile) args.push_back(output);
    const auto run = txtest::runProgram(kImport, args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_EQ(recordsOf(readFile(output)).back().text, "Added");
    for (const std::string& name : stray) EXPECT_FALSE(fileExists(im.dir.file(name))) << name;
    for (const std::string& name : kept) EXPECT_EQ(readFile(im.dir.file(name)), "not ours to remove") << name;
  }
}

TEST(TxImport, UpdateInPlaceKeepsModeAndFollowsLinks) {
  Import im;
  im.oldBytes = txtest::buildDatabase(baseDatabase());
  writeFile(im.db(), im.oldBytes);
  ASSERT_EQ(::chmod(im.db().c_str(), 0640), 0);
  ASSERT_EQ(::symlink("db.pdb", im.dir.file("link.pdb").c_str()), 0);
  writeFile(im.text(), "Added\n" + kSep);
  const auto run = txtest::runProgram(kImport, {im.dir.file("link.pdb"), im.text()});
  EXPECT_EQ(run.status, 0);
  struct stat link {}, target {};
  ASSERT_EQ(::lstat(im.dir.file("link.pdb").c_str(), &link), 0);
  EXPECT_TRUE(S_ISLNK(link.st_mode));
  ASSERT_EQ(::stat(im.db().c_str(), &target), 0);
  EXPECT_EQ(target.st_mode & 07777, 0640u);
  EXPECT_EQ(recordsOf(readFile(im.db())).back().text, "Added");
}

// Another program changes the database while the importer waits at its
// question: nothing is written, and the other program's database stays.
TEST(TxImport, LostUpdatesAreRefused) {
  TestDatabase other = baseDatabase();
  other.lists[0].push_back({0, 14, 1, "Written meanwhile"});
  const std::string otherBytes = txtest::buildDatabase(other);
  // The same size as the base database, one byte changed.
  TestDatabase sameSize = baseDatabase();
  sameSize.lists[0][2].text = "Gamme";
  const std::string sameSizeBytes = txtest::buildDatabase(sameSize);
  enum class Change { Replaced, Rewritten, SameSizeTimeSetBack };
  struct Case {
    const char* name;
    bool linked;   // a second link: the new database would go into the old file
    Change change;
    bool newFile = false;  // the output is another database, and it is what changes
  };
  const Case cases[] = {{"replaced", false, Change::Replaced},
                        {"rewritten", false, Change::Rewritten},
                        {"rewritten, linked", true, Change::Rewritten},
                        {"rewritten at the same size, its time set back", false, Change::SameSizeTimeSetBack},
                        {"... linked", true, Change::SameSizeTimeSetBack},
                        {"another database as the output, rewritten", false, Change::Rewritten, true},
                        {"... at the same size, its time set back", false, Change::SameSizeTimeSetBack, true},
                        {"... replaced", false, Change::Replaced, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Import im;
    writeFile(im.db(), txtest::buildDatabase(baseDatabase()));
    writeFile(im.text(), "Alpha\nchanged\n" + kSep);
    const std::string changed = c.newFile ? im.dir.file("new.pdb") : im.db();
    if (c.newFile) writeFile(changed, txtest::buildDatabase(baseDatabase()));
    if (c.linked) {
      ASSERT_EQ(::link(im.db().c_str(), im.dir.file("link.pdb").c_str()), 0);
    }
    const std::string& after = c.change == Change::SameSizeTimeSetBack ? sameSizeBytes : otherBytes;
    RunOptions options;
    options.input = "";
    options.watch = [&](pid_t, const std::string& out, std::string& more) {
      if (out.find("? ") == std::string::npos) return false;
      struct stat before {};
      ::stat(changed.c_str(), &before);
      writeFile(im.dir.file("other.tmp"), after);
      if (c.change == Change::Replaced) {
        ::rename(im.dir.file("other.tmp").c_str(), changed.c_str());
      } else {
        writeFile(changed, after);
        ::unlink(im.dir.file("other.tmp").c_str());
      }
      if (c.change == Change::SameSizeTimeSetBack) {
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ::utimensat(AT_FDCWD, changed.c_str(), times, 0);
      }
      more = "y\n";
      return true;
    };
    std::vector<std::string> args = {im.db(), im.text()};
    if (c.newFile) args.push_back(changed);
    im.run = txtest::runProgram(kImport, args, options);
    EXPECT_EQ(im.run.status, 1);
    EXPECT_EQ(im.run.out, question("Alpha"));
    EXPECT_EQ(im.run.err, "Error replacing database file: \"" + changed +
                              "\" was changed by another program while this import ran, so nothing was written; run the "
                              "import again\n");
    EXPECT_TRUE(readFile(changed) == after);
    if (c.newFile) {
      EXPECT_TRUE(readFile(im.db()) == txtest::buildDatabase(baseDatabase()));
    }
    EXPECT_EQ(listDirectory(im.dir.path()).size(), 2u + (c.linked ? 1 : 0) + (c.newFile ? 1 : 0));
  }
}

// A file that another program cuts short while the import has it mapped:
// the import ends as a failure to read it, with status 1, and writes nothing.
TEST(TxImport, AFileCutShortWhileItIsReadFailsTheRun) {
  struct Case {
    const char* name;
    bool cutTheText;  // else the old database
    bool newFile;
    const char* message;
  };
  const Case cases[] = {{"the text, to a new file", true, true, "Error reading text file"},
                        {"the text, in place", true, false, "Error reading text file"},
                        {"the old database, to a new file", false, true, "Error reading database file"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Import im;
    const std::string oldBytes = txtest::buildDatabase(baseDatabase());
    writeFile(im.db(), oldBytes);
    writeFile(im.text(), "Alpha\nchanged\n" + kSep + "Added\n" + kSep);
    const std::string cut = c.cutTheText ? im.text() : im.db();
    RunOptions options;
    options.input = "";
    options.watch = [&](pid_t, const std::string& out, std::string& more) {
      if (out.find("? ") == std::string::npos) return false;
      if (::truncate(cut.c_str(), 0) != 0) std::abort();
      more = "y\n";
      return true;
    };
    std::vector<std::string> args = {im.db(), im.text()};
    if (c.newFile) args.push_back(im.dir.file("new.pdb"));
    im.run = txtest::runProgram(kImport, args, options);
    EXPECT_EQ(im.run.status, 1);
    EXPECT_EQ(im.run.out, question("Alpha"));
    EXPECT_EQ(im.run.err, std::string(c.message) +
                              ": part of the file could not be read any more: another program cut it short, or the "
                              "disk failed\n");
    EXPECT_TRUE(readFile(im.db()) == (c.cutTheText ? oldBytes : ""));
    EXPECT_EQ(listDirectory(im.dir.path()).size(), 2u);
  }
}

TEST(ReplacementFile, ModeFollowsWhatIsKnownOfTheOutput) {
  using Mode = tx::ReplacementFile::Mode;
  using NewFile = tx::ReplacementFile::NewFile;
  tx::platform::FileStatus file;
  file.regular = true;
  tx::platform::FileStatus linked = file;
  linked.links = 2;
  const tx::platform::FileStatus device;  // neither a regular file nor a directory
  const std::optional<tx::platform::FileStatus> none;
  struct Case {
    const char* name;
    std::optional<tx::platform::FileStatus> existing;
    NewFile newFile;
    bool identityKept;
    std::optional<Mode> mode;
  };
  const Case cases[] = {
      {"a new output, an unnamed file", none, NewFile::Unnamed, false, Mode::Replace},
      {"a new output, a named file", none, NewFile::Named, false, Mode::Replace},
      {"a new output where no file can be made", none, NewFile::None, false, std::nullopt},
      {"a device", device, NewFile::None, false, Mode::Direct},
      {"a file with another link", linked, NewFile::Unnamed, true, Mode::InPlace},
      {"a file whose identity a new file takes", file, NewFile::Unnamed, true, Mode::Replace},
      {"a file whose identity a new file cannot take", file, NewFile::Unnamed, false, Mode::InPlace},
      {"a file, a named new file (its identity given when it is made)", file, NewFile::Named, false, Mode::Replace},
      {"a file in a directory that takes no new file", file, NewFile::None, false, Mode::InPlace},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tx::ReplacementFile::modeFor(c.existing, c.newFile, c.identityKept), c.mode);
  }
}

// What a run that opens a database prints as notes.
class Notes {
 public:
  Notes() : file_(std::tmpfile()) {}
  ~Notes() { std::fclose(file_); }
  std::FILE* file() { return file_; }
  std::string text() {
    std::fflush(file_);
    std::rewind(file_);
    std::string all;
    for (int c; (c = std::fgetc(file_)) != EOF;) all.push_back(static_cast<char>(c));
    return all;
  }

 private:
  std::FILE* file_;
};

// A write into the old file whose old bytes cannot be put back leaves it
// marked, names the rollback copy that keeps them, and the next run puts
// them back from it.
TEST(ReplacementFile, APutBackThatFailsLeavesTheRollbackCopyForTheNextRun) {
  TempDir dir;
  const std::string db = dir.file("db.pdb");
  const std::string old = txtest::buildDatabase(baseDatabase());
  writeFile(db, old);
  ASSERT_EQ(::link(db.c_str(), dir.file("link.pdb").c_str()), 0);  // written into the old file
  tx::platform::FileStatus now;
  ASSERT_TRUE(tx::platform::status(db, now));
  const std::string copy = dir.file(".db.pdb.TxImport-rollback");
  EXPECT_EQ(txtest::failureOf([&] {
              tx::ReplacementFile output(db, now, old, tx::openDatabase(db, tx::DatabaseAccess::Update, "TxImport", stderr));
              output.write(3, [&](int fd, std::size_t holdBack) {
                EXPECT_EQ(holdBack, tx::kMarkSize);
                // Some of the new bytes, then a file that takes nothing more.
                EXPECT_EQ(::write(fd, "NEW", 3), 3);
                const int full = ::open("/dev/full", O_WRONLY);
                ::dup2(full, fd);
                ::close(full);
                tx::fatalError("Error writing database record", "No space left on device");
                return std::string();
              });
            }),
            txtest::onStderr("Error writing database record: No space left on device; the old database could not be "
                             "put back, so it stays marked as being updated and its rollback copy \"" + copy +
                             "\" stays: the next run of either program puts the old bytes back\n"));
  EXPECT_TRUE(fileExists(copy));
  const std::string marked = readFile(db);
  EXPECT_EQ(marked.substr(60, 8), "TxUpdate");
  EXPECT_EQ(marked.substr(tx::kMarkSize, 3), "NEW");
  Notes notes;
  tx::openDatabase(dir.file("link.pdb"), tx::DatabaseAccess::Read, "TxExport", notes.file());
  EXPECT_EQ(notes.text(), "TxExport: note: \"" + dir.file("link.pdb") +
                              "\": an update of it was cut short; it was put back as it was before from its rollback "
                              "copy\n");
  EXPECT_TRUE(readFile(db) == old);
  EXPECT_EQ(listDirectory(dir.path()), (std::vector<std::string>{"db.pdb", "link.pdb"}));
}

// A marked file, found under any of its names, is put back only from the
// copy whose token it holds; an unmarked one is never written.
TEST(DatabaseFile, ARollbackCopyIsAppliedOnlyToTheMarkedFileThatNamesIt) {
  const std::string old = txtest::buildDatabase(baseDatabase());
  const std::string token(tx::kTokenSize, 'T');
  const std::string cutShort = "an update of it was cut short; it was put back as it was before from its rollback copy";
  struct Case {
    std::string name;
    bool marked;                 // db.pdb holds a mark naming the copy
    std::string copy;            // what lies at the copy's name: "copy", "other token", "torn", "fifo", "link", "none", "this file's", "another file's"
    std::string openedAs;        // the name the run opens
    std::string outcome;         // "" or the failure's text
    bool putBack;                // db.pdb holds the old bytes afterwards
    bool copyLeft;
  };
  const std::string damaged = "\": an update of it was cut short, and its rollback copy \"";
  const Case cases[] = {
      {"the copy, through the file's name", true, "copy", "db.pdb", "", true, false},
      {"the copy, through a symbolic link", true, "copy", "sym.pdb", "", true, false},
      {"the copy, through another hard link elsewhere", true, "copy", "sub/hard.pdb", "", true, false},
      {"a copy of another update", true, "other token", "db.pdb", "damaged", false, true},
      {"a torn copy", true, "torn", "db.pdb", "damaged", false, true},
      {"a FIFO at the copy's name", true, "fifo", "db.pdb", "damaged", false, true},
      {"a link at the copy's name", true, "link", "db.pdb", "damaged", false, true},
      {"no copy", true, "none", "db.pdb", "damaged", false, false},
      {"an unmarked file and a copy of it: the copy goes", false, "this file's", "db.pdb", "", false, false},
      {"an unmarked file and a copy of another file: left", false, "another file's", "db.pdb", "", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string db = dir.file("db.pdb");
    const std::string copyPath = dir.file(".db.pdb.TxImport-rollback");
    writeFile(db, c.marked ? tx::markBytes({token, copyPath}) + "NEW BYTES" : old);
    ASSERT_EQ(::symlink(db.c_str(), dir.file("sym.pdb").c_str()), 0);
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0700), 0);
    ASSERT_EQ(::link(db.c_str(), dir.file("sub/hard.pdb").c_str()), 0);
    struct stat info {};
    ASSERT_EQ(::stat(db.c_str(), &info), 0);
    const std::string good = tx::rollbackCopyBytes(token, info.st_dev, info.st_ino, old);
    if (c.copy == "copy" || c.copy == "this file's") writeFile(copyPath, good);
    if (c.copy == "other token") writeFile(copyPath, tx::rollbackCopyBytes(std::string(tx::kTokenSize, 'U'), info.st_dev, info.st_ino, old));
    if (c.copy == "torn") writeFile(copyPath, good.substr(0, good.size() - 1));
    if (c.copy == "fifo") {
      ASSERT_EQ(::mkfifo(copyPath.c_str(), 0600), 0);
    }
    if (c.copy == "link") {
      writeFile(dir.file("elsewhere"), good);
      ASSERT_EQ(::symlink(dir.file("elsewhere").c_str(), copyPath.c_str()), 0);
    }
    if (c.copy == "another file's") writeFile(copyPath, tx::rollbackCopyBytes(token, info.st_dev, info.st_ino + 1, old));
    const std::string before = readFile(db);
    Notes notes;
    const std::string failure = txtest::failureOf([&] {
      tx::openDatabase(dir.file(c.openedAs), tx::DatabaseAccess::Read, "TxExport", notes.file());
    });
    EXPECT_EQ(failure, c.outcome.empty() ? "" : txtest::onStdout("Can't open \"" + dir.file(c.openedAs) + damaged +
                                                                 copyPath + "\" is missing or damaged, so it is not read"));
    EXPECT_TRUE(readFile(db) == (c.putBack ? old : before));
    EXPECT_EQ(fileExists(copyPath) || c.copy == "link" || c.copy == "fifo", c.copyLeft);
    const std::string opened = "TxExport: note: \"" + dir.file(c.openedAs) + "\": ";
    EXPECT_EQ(notes.text(), c.putBack                  ? opened + cutShort + "\n"
                            : c.copy == "this file's" ? opened + "the rollback copy \"" + copyPath +
                                                            "\" of an update of it that had ended was removed\n"
                                                      : "");
  }
}

// A run that finds the file being rewritten waits for the rewrite to end
// and reads the finished file; one that does not end in time is refused.
TEST(DatabaseFile, ARewriteInProgressIsWaitedForNeverRead) {
  for (const bool ends : {true, false}) {
    SCOPED_TRACE(ends ? "the rewrite ends" : "the rewrite goes on");
    TempDir dir;
    const std::string db = dir.file("db.pdb");
    writeFile(db, tx::markBytes({std::string(tx::kTokenSize, 'T'), dir.file("none")}));
    const int writer = ::open(db.c_str(), O_RDWR);
    ASSERT_EQ(tx::platform::lockByte(writer, tx::platform::LockByte::Rewrite, true), 0);
    const std::string finished = txtest::buildDatabase(baseDatabase());
    std::thread rewrite([&] {
      if (!ends) return;
      ::usleep(200 * 1000);
      writeFile(db, finished);
      ::close(writer);
    });
    std::string read;
    const std::string failure = txtest::failureOf([&] {
      const tx::FileDescriptor file = tx::openDatabase(db, tx::DatabaseAccess::Read, "TxExport", stderr);
      read = tx::readBytesFromStart(file.get(), finished.size()).bytes;
    });
    rewrite.join();
    if (!ends) ::close(writer);
    EXPECT_EQ(failure, ends ? "" : txtest::onStdout("Can't open \"" + db + "\": another import is updating it"));
    EXPECT_TRUE(read == (ends ? finished : ""));
  }
}

// Where the file system keeps only whole seconds, a rewrite can leave even
// the change time as it was: the bytes read at the start are compared too.
TEST(ReplacementFile, AnUpdateOfBytesThatDifferFromThoseReadIsRefused) {
  for (bool linked : {false, true}) {
    SCOPED_TRACE(linked ? "written into the file" : "replaced");
    TempDir dir;
    const std::string db = dir.file("db.pdb");
    writeFile(db, "the bytes on the disk");
    if (linked) {
      ASSERT_EQ(::link(db.c_str(), dir.file("link.pdb").c_str()), 0);
    }
    tx::platform::FileStatus now;
    ASSERT_TRUE(tx::platform::status(db, now));
    bool written = false;
    EXPECT_EQ(txtest::failureOf([&] {
                tx::ReplacementFile output(db, now, "the bytes as once read");
                output.write(3, [&](int fd, std::size_t) {
                  written = ::write(fd, "new", 3) == 3;
                  return std::string();
                });
              }),
              txtest::onStderr("Error replacing database file: \"" + db +
                               "\" was changed by another program while this import ran, so nothing was written; run "
                               "the import again\n"));
    EXPECT_EQ(readFile(db), "the bytes on the disk");
    EXPECT_EQ(listDirectory(dir.path()).size(), linked ? 2u : 1u);
  }
}

// A second import of the same database in place is refused while the first
// holds it.
TEST(TxImport, OneUpdateInPlaceAtATime) {
  Import im;
  runImport(im, baseDatabase(), "", "");
  writeFile(im.text(), "Added\n" + kSep);
  const std::string before = readFile(im.db());
  const tx::FileDescriptor held(::open(im.db().c_str(), O_RDWR));
  ASSERT_EQ(tx::platform::lockByte(held.get(), tx::platform::LockByte::Update, true), 0);
  tx::AnswerReader answers(-1);
  EXPECT_EQ(txtest::failureOf([&] { tx::importDatabase(im.db(), im.text(), im.db(), answers, stdout, stderr); }),
            txtest::onStdout("Can't open \"" + im.db() + "\": another import is updating it"));
  EXPECT_TRUE(readFile(im.db()) == before);
  // A new file from it is no update, and goes ahead.
  EXPECT_EQ(txtest::failureOf([&] { tx::importDatabase(im.db(), im.text(), im.dir.file("new.pdb"), answers, stdout, stderr); }), "");
}

// What the database had besides its bytes stays: other links, a long name,
// ACL entries and extended attributes.
TEST(TxImport, UpdateInPlaceKeepsWhatTheFileHad) {
  {
    Import im;
    runImport(im, baseDatabase(), "", "");  // makes the files
    ASSERT_EQ(::link(im.db().c_str(), im.dir.file("link.pdb").c_str()), 0);
    struct stat before {}, after {};
    ASSERT_EQ(::stat(im.db().c_str(), &before), 0);
    writeFile(im.text(), "Added\n" + kSep);
    const auto run = txtest::runProgram(kImport, {im.dir.file("link.pdb"), im.text()});
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(::stat(im.db().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(recordsOf(readFile(im.db())).back().text, "Added");
  }
  {
    TempDir dir;
    const std::string name = dir.file(std::string(251, 'd') + ".pdb");  // 255 bytes
    writeFile(name, txtest::buildDatabase(baseDatabase()));
    writeFile(dir.file("edits.txt"), "Added\n" + kSep);
    const auto run = txtest::runProgram(kImport, {name, dir.file("edits.txt")});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_EQ(recordsOf(readFile(name)).back().text, "Added");
    EXPECT_EQ(listDirectory(dir.path()).size(), 2u);
  }
  Import im;
  runImport(im, baseDatabase(), "", "");
  const auto aclOf = [](const std::string& path) {
    acl_t acl = ::acl_get_file(path.c_str(), ACL_TYPE_ACCESS);
    char* text = ::acl_to_text(acl, nullptr);
    const std::string result = text ? text : "";
    ::acl_free(text);
    ::acl_free(acl);
    return result;
  };
  if (::setxattr(im.db().c_str(), "user.note", "kept", 4, 0) != 0) GTEST_SKIP() << "no extended attributes here";
  acl_t wanted = ::acl_from_text("user::rw-,user:65534:r--,group::r--,mask::r--,other::---");
  const int set = ::acl_set_file(im.db().c_str(), ACL_TYPE_ACCESS, wanted);
  ::acl_free(wanted);
  if (set != 0) GTEST_SKIP() << "no ACLs here";
  const std::string acl = aclOf(im.db());
  writeFile(im.text(), "Added\n" + kSep);
  const auto run = txtest::runProgram(kImport, {im.db(), im.text()});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(recordsOf(readFile(im.db())).back().text, "Added");
  char note[16] = {};
  EXPECT_EQ(::getxattr(im.db().c_str(), "user.note", note, sizeof note), 4);
  EXPECT_STREQ(note, "kept");
  EXPECT_EQ(aclOf(im.db()), acl);
  struct stat info {};
  ASSERT_EQ(::stat(im.db().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
}

// The kernel's protections for sticky world-writable directories, on for a
// test and put back as they were after it.
class KernelProtections {
 public:
  KernelProtections() {
    for (const auto& [name, value] : kWanted) {
      std::string old;
      try {
        old = readFile(name);
      } catch (...) {
        return;
      }
      saved_.emplace_back(name, old);
      if (!write(name, value)) return;
    }
    on_ = true;
  }
  ~KernelProtections() {
    for (const auto& [name, value] : saved_) write(name, value);
  }
  bool on() const { return on_; }

 private:
  static bool write(const std::string& name, const std::string& value) {
    const int fd = ::open(name.c_str(), O_WRONLY);
    const bool done = fd >= 0 && ::write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
    if (fd >= 0) ::close(fd);
    return done;
  }
  inline static const std::pair<std::string, std::string> kWanted[] = {{"/proc/sys/fs/protected_symlinks", "1\n"},
                                                                      {"/proc/sys/fs/protected_regular", "2\n"}};
  std::vector<std::pair<std::string, std::string>> saved_;
  bool on_ = false;
};

// Links and files planted by another user in a sticky world-writable
// directory are refused, as the kernel refuses them, before any question;
// nothing is written through them.  A link of one's own is still followed.
TEST(TxImport, PlantedLinksAndFilesAreRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "planting files as another user needs root";
  KernelProtections protections;
  if (!protections.on()) GTEST_SKIP() << "the kernel's protections for sticky directories cannot be turned on here";
  const uid_t nobody = 65534;
  TempDir shared;  // like /tmp
  ASSERT_EQ(::chmod(shared.path().c_str(), 01777), 0);
  TempDir victim;  // where the links lead
  writeFile(victim.file("existing.pdb"), "a file of root's");
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> plant;
    bool refused;
  };
  auto linkAs = [&](uid_t owner, const std::string& target) {
    return [=](const std::string& path) {
      ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
      ASSERT_EQ(::lchown(path.c_str(), owner, owner), 0);
    };
  };
  const Case cases[] = {
      {"another user's link to a missing file", linkAs(nobody, victim.file("cron-job")), true},
      {"another user's link to an existing file", linkAs(nobody, victim.file("existing.pdb")), true},
      {"another user's empty file",
       [&](const std::string& path) {
         writeFile(path, "");
         ASSERT_EQ(::chown(path.c_str(), nobody, nobody), 0);
         ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
       },
       true},
      {"a link of one's own", linkAs(0, victim.file("mine.pdb")), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string old = txtest::buildDatabase(baseDatabase());
    writeFile(dir.file("db.pdb"), old);
    writeFile(dir.file("edits.txt"), "Alpha\nchanged\n" + kSep);
    const std::string output = shared.file("new.pdb");
    c.plant(output);
    const auto victimBefore = listDirectory(victim.path());
    RunOptions options;
    options.input = "y\n";
    const auto run = txtest::runProgram(kImport, {dir.file("db.pdb"), dir.file("edits.txt"), output}, options);
    if (c.refused) {
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.out, "Can't open \"" + output + "\": Permission denied");
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(listDirectory(victim.path()), victimBefore);
      EXPECT_EQ(readFile(victim.file("existing.pdb")), "a file of root's");
      struct stat planted {};
      ASSERT_EQ(::lstat(output.c_str(), &planted), 0);
      EXPECT_EQ(planted.st_uid, nobody);
      if (S_ISREG(planted.st_mode)) {
        EXPECT_EQ(readFile(output), "");
      }
    } else {
      EXPECT_EQ(run.status, 0);
      EXPECT_EQ(run.out, question("Alpha"));
      EXPECT_EQ(recordsOf(readFile(victim.file("mine.pdb")))[0].text, "Alpha\nchanged");
      struct stat link {};
      ASSERT_EQ(::lstat(output.c_str(), &link), 0);
      EXPECT_TRUE(S_ISLNK(link.st_mode));
    }
    EXPECT_EQ(readFile(dir.file("db.pdb")), old);
    EXPECT_EQ(listDirectory(shared.path()), std::vector<std::string>{"new.pdb"});
    ::unlink(output.c_str());
    ::unlink(victim.file("mine.pdb").c_str());
  }
}

// Files of other users, run as a second user (needs root to set up).
TEST(TxImport, UpdatesByAnotherUserKeepOwnerAndGroup) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make files of other users and run as one";
  const uid_t nobody = 65534;
  const gid_t nogroup = 65534, shared = 54321;
  RunOptions asMember;
  asMember.runAs = RunOptions::User{nobody, nogroup, {nogroup, shared}};
  // A copy of the program where the second user can reach it.
  TempDir bin;
  const std::string program = bin.file("TxImport");
  writeFile(program, readFile(kImport));
  ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(bin.path().c_str(), 0755), 0);
  if (txtest::runProgram(program, {}, asMember).status != 1) GTEST_SKIP() << "the second user cannot run " << program;
  struct Case {
    const char* name;
    uid_t owner;
    gid_t group;
    mode_t mode, directoryMode;
  };
  const Case cases[] = {
      // The member cannot give a new file root's ownership: it is written in place.
      {"a group-shared file", 0, shared, 0660, 0775},
      // A new file can have the group, which is set on its own.
      {"the user's file in a shared group", nobody, shared, 0660, 0777},
      // No new file can be made beside it.
      {"a read-only directory", nobody, nogroup, 0644, 0755},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    writeFile(dir.file("db.pdb"), txtest::buildDatabase(baseDatabase()));
    writeFile(dir.file("edits.txt"), "Added\n" + kSep);
    ASSERT_EQ(::chown(dir.file("db.pdb").c_str(), c.owner, c.group), 0);
    ASSERT_EQ(::chmod(dir.file("db.pdb").c_str(), c.mode), 0);
    ASSERT_EQ(::chown(dir.path().c_str(), 0, shared), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), c.directoryMode), 0);
    ASSERT_EQ(::chmod(dir.file("edits.txt").c_str(), 0644), 0);
    // Where the directory takes no new file, the rollback copy is kept in the
    // user's state folder while the file is written.
    TempDir state;
    ASSERT_EQ(::chown(state.path().c_str(), nobody, nogroup), 0);
    ::setenv("XDG_STATE_HOME", state.path().c_str(), 1);
    const auto run = txtest::runProgram(program, {dir.file("db.pdb"), dir.file("edits.txt")}, asMember);
    ::unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out + run.err, "");
    const bool besideIt = c.directoryMode != 0755;
    EXPECT_EQ(listDirectory(state.path()), besideIt ? std::vector<std::string>{} : std::vector<std::string>{"txtools"});
    if (!besideIt) {
      EXPECT_EQ(listDirectory(state.file("txtools")), std::vector<std::string>{});
    }
    struct stat info {};
    ASSERT_EQ(::stat(dir.file("db.pdb").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, c.owner);
    EXPECT_EQ(info.st_gid, c.group);
    EXPECT_EQ(info.st_mode & 07777, c.mode);
    EXPECT_EQ(recordsOf(readFile(dir.file("db.pdb"))).back().text, "Added");
    EXPECT_EQ(listDirectory(dir.path()).size(), 2u);
  }
  // A new database in a read-only directory is refused before any question.
  TempDir dir;
  writeFile(dir.file("db.pdb"), txtest::buildDatabase(baseDatabase()));
  writeFile(dir.file("edits.txt"), "Alpha\nchanged\n" + kSep);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const auto run = txtest::runProgram(program, {dir.file("db.pdb"), dir.file("edits.txt"), dir.file("new.pdb")}, asMember);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Can't open \"" + dir.file("new.pdb") + "\": Permission denied (no file can be created in \"" +
                         dir.path() + "\")");
  EXPECT_EQ(listDirectory(dir.path()).size(), 2u);
}

TEST(TxImport, RefusesMoreRecordsThanADatabaseHolds) {
  TestDatabase full = baseDatabase();
  full.lists = {{}};
  for (int i = 0; i < 65535; ++i) full.lists[0].push_back({0, 14, 1, "r" + std::to_string(i)});
  {
    Import im;
    runImport(im, full, "One more\n" + kSep, "");
    EXPECT_EQ(im.run.status, 1);
    EXPECT_EQ(im.run.err, "Error merging text file: more records than one database can hold (65535)\n");
    EXPECT_TRUE(readFile(im.db()) == im.oldBytes);
  }
  {
    TestDatabase twoLists = full;
    twoLists.lists.push_back({{0, 14, 1, "over"}});
    Import im;
    runImport(im, twoLists, "", "");
    EXPECT_EQ(im.run.status, 1);
    EXPECT_EQ(im.run.err, "Error reading database record list: more records than one database can hold (65535)\n");
    EXPECT_TRUE(readFile(im.db()) == im.oldBytes);
  }
}

}  // namespace
