// Random databases, exported and imported back unchanged, come back the same:
// the same records in the same order and the same category block; in
// process, the same at every size where the merge's tables grow, and the
// merge against a plain reference implementation of its rules.
//
// A failing seed is printed; TX_ROUNDTRIP_SEED=<seed> replays that one alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "exporter/record_export.h"
#include "importer/category_table.h"
#include "importer/import_merger.h"
#include "importer/merge_input.h"
#include "importer/record_list.h"
#include "support/db_builder.h"
#include "support/process.h"

namespace {

using txtest::TestDatabase;
using txtest::TestRecord;

// Bytes that a name or a text line may hold: not 0, CR or LF, which end a
// line of the text form; high bytes included.
char randomByte(std::mt19937& random, bool forName) {
  for (;;) {
    const int byte = std::uniform_int_distribution<int>(1, 255)(random);
    if (byte == '\r' || byte == '\n' || (forName && byte == '"')) continue;
    if (byte < 0x20 && byte != '\t') continue;
    return static_cast<char>(byte);
  }
}

std::string randomString(std::mt19937& random, int minLength, int maxLength, bool forName = false) {
  std::string text(static_cast<std::size_t>(std::uniform_int_distribution<int>(minLength, maxLength)(random)), ' ');
  for (char& c : text) c = randomByte(random, forName);
  return text;
}

TestDatabase randomDatabase(std::uint32_t seed, std::vector<std::vector<int>>& slotsUsed) {
  std::mt19937 random(seed);
  auto pick = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
  TestDatabase db;
  db.dataShuffleSeed = seed;
  db.appInfo.lastUniqueId = static_cast<std::uint8_t>(pick(0, 255));
  for (auto& id : db.appInfo.ids) id = static_cast<std::uint8_t>(pick(0, 255));
  // Named slots, with distinct names: an empty name would resolve to the first
  // free slot, and a repeated one to its first slot.
  std::vector<int> named;
  std::set<std::string> names;
  for (int slot = 0; slot < 16; ++slot) {
    if (slot != 0 && pick(0, 2) == 0) continue;
    std::string name;
    do name = randomString(random, 1, 15, true);
    while (!names.insert(name).second);
    db.appInfo.names[static_cast<std::size_t>(slot)] = name;
    named.push_back(slot);
  }
  db.lists.assign(static_cast<std::size_t>(pick(1, 3)), {});
  int index = 0;
  slotsUsed.clear();
  for (auto& list : db.lists) {
    slotsUsed.emplace_back();
    for (int r = pick(0, 8); r > 0; --r) {
      TestRecord record;
      const int slot = named[static_cast<std::size_t>(pick(0, static_cast<int>(named.size()) - 1))];
      const bool secret = pick(0, 1) == 1;
      record.attributes = static_cast<std::uint8_t>(slot | (secret ? 0x10 : 0) | (pick(0, 7) << 5));
      record.places = static_cast<std::uint8_t>(pick(0, 255));
      record.stripZeros = static_cast<std::uint8_t>(pick(0, 1));
      // A unique first line, then lines that may be empty or hold high bytes.
      record.text = "T" + std::to_string(index++) + ":" + randomString(random, 0, 30);
      for (int lines = pick(0, 5); lines > 0; --lines) {
        std::string line = pick(0, 3) == 0 ? "" : randomString(random, 1, 60);
        if (line.rfind("~~~", 0) == 0) line[0] = '-';  // never a separator
        record.text += "\n" + line;
      }
      slotsUsed.back().push_back(slot | (secret ? 0x10 : 0));
      list.push_back(record);
    }
  }
  return db;
}

TEST(RoundTripProperty, ExportThenImportUnchangedGivesTheSameDatabase) {
  std::uint32_t first = 1, last = 150;
  if (const char* replay = std::getenv("TX_ROUNDTRIP_SEED")) first = last = static_cast<std::uint32_t>(std::atol(replay));
  txtest::TempDir dir;
  for (std::uint32_t seed = first; seed <= last; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with TX_ROUNDTRIP_SEED=" + std::to_string(seed) + ")");
    std::vector<std::vector<int>> attributes;
    const TestDatabase db = randomDatabase(seed, attributes);
    const std::string bytes = txtest::buildDatabase(db);
    txtest::writeFile(dir.file("db.pdb"), bytes);
    const auto exported = txtest::runProgram(TXEXPORT_PATH, {dir.file("db.pdb"), dir.file("db.txt")});
    ASSERT_EQ(exported.status, 0) << exported.err;
    const auto imported =
        txtest::runProgram(TXIMPORT_PATH, {dir.file("db.pdb"), dir.file("db.txt"), dir.file("new.pdb")});
    ASSERT_EQ(imported.status, 0) << imported.out << imported.err;
    ASSERT_EQ(imported.out, "");
    // Random high bytes may look like UTF-8, which is noted, and nothing else.
    for (std::size_t at = 0, end; at < imported.err.size(); at = end + 1) {
      end = imported.err.find('\n', at);
      ASSERT_NE(imported.err.substr(at, end - at).find("the text seems to be saved as UTF-8"), std::string::npos)
          << imported.err;
    }
    const auto parsed = txtest::parseDatabase(txtest::readFile(dir.file("new.pdb")));
    EXPECT_EQ(parsed.appInfo, bytes.substr(txtest::appInfoOffsetOf(db), 310));
    std::size_t i = 0;
    for (std::size_t l = 0; l < db.lists.size(); ++l) {
      for (std::size_t r = 0; r < db.lists[l].size(); ++r, ++i) {
        ASSERT_LT(i, parsed.records.size());
        const TestRecord& want = db.lists[l][r];
        EXPECT_EQ(parsed.records[i].attributes, attributes[l][r]) << "record " << i;
        EXPECT_EQ(parsed.records[i].places, want.places) << "record " << i;
        EXPECT_EQ(parsed.records[i].stripZeros, want.stripZeros) << "record " << i;
        EXPECT_EQ(parsed.records[i].text, want.text) << "record " << i;
      }
    }
    EXPECT_EQ(parsed.records.size(), i);
  }
}

}  // namespace

// The same in-process, over bytes in memory, at many sizes, and the merge
// compared with a plain reference implementation of its rules.
namespace tx {
namespace {

const char* const kNames[] = {"Unfiled", "Home", "Work", "Misc"};

// A record as the tests see it: everything the merge keeps.
struct Rec {
  std::string text;
  std::uint8_t category = 0, secret = 0, places = 14, stripZeros = 1;
  bool operator==(const Rec&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Rec& r) {
  return out << '{' << r.text << '/' << int{r.category} << int{r.secret} << '/' << int{r.places} << '/'
             << int{r.stripZeros} << '}';
}

std::string databaseOf(const std::vector<Rec>& records) {
  txtest::TestDatabase db;
  for (std::size_t slot = 0; slot < std::size(kNames); ++slot) db.appInfo.names[slot] = kNames[slot];
  for (const Rec& r : records) {
    db.lists[0].push_back({static_cast<std::uint8_t>(r.category | r.secret << 4), r.places, r.stripZeros, r.text});
  }
  return txtest::buildDatabase(db);
}

// The text the writer makes of `records`.
std::string textOf(const std::vector<Rec>& records) {
  StringSink sink;
  TextRecordWriter writer(sink);
  for (const Rec& r : records) {
    writer.writeRecordHead(kNames[r.category], r.secret, r.places, r.stripZeros);
    writer.writeText(r.text);
    writer.endRecord();
  }
  return sink.text();
}

std::string exportOf(const std::string& db) {
  BufferedReader file(BufferedReader::InMemory{}, db);
  RecordExport exporter(file);
  StringSink sink;
  exporter.writeTo(sink);
  return sink.text();
}

// What a merge did: each question's two texts, in order, and the records.
struct MergeResult {
  std::vector<std::pair<std::string, std::string>> questions;
  std::vector<Rec> records;
};

using Answers = std::function<OverwriteAnswer(std::size_t question)>;

MergeResult realMerge(const std::string& db, const std::string& text, const Answers& answers) {
  RecordList list;
  BufferedReader file(BufferedReader::InMemory{}, db);
  DatabaseParts parts = loadRecords(file, list);
  BufferedReader textReader(BufferedReader::InMemory{}, text);
  CategoryTable categories(parts.appInfo);
  MergeSteps steps(list, categories, textReader);
  MergeResult result;
  while (steps.next()) {
    result.questions.emplace_back(steps.existing().text, steps.incoming().text);
    steps.answer(answers(result.questions.size() - 1));
  }
  for (const Record& r : list.records()) {
    result.records.push_back({std::string(r.text), r.category, r.secret, r.places, r.stripZeros});
  }
  return result;
}

// The rules, as plainly as they can be put: a text record is matched by its
// first line (up to and including its first line feed, or all of a text
// with none).  With no record of that line it is appended; equal in text and
// settings to one of them, it is dropped and the first such one not yet met
// is met; otherwise it is asked about against the first record of that line
// not yet met (or the first of them, when all were met), which is met.  Yes
// and All replace that record, No appends; after All nothing is asked.
// Every record the merge puts in the list counts as met.
MergeResult referenceMerge(std::vector<Rec> list, const std::vector<Rec>& text, const Answers& answers) {
  auto firstLine = [](const std::string& s) { return s.substr(0, std::min(s.find('\n'), s.size() - 1) + 1); };
  std::vector<bool> met(list.size(), false);
  MergeResult result;
  bool all = false;
  for (const Rec& incoming : text) {
    std::vector<std::size_t> same;
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (!list[i].text.empty() && !incoming.text.empty() ? firstLine(list[i].text) == firstLine(incoming.text)
                                                          : list[i].text == incoming.text) {
        same.push_back(i);
      }
    }
    auto put = [&](std::optional<std::size_t> place) {
      if (place) {
        list[*place] = incoming;
      } else {
        list.push_back(incoming);
        met.push_back(true);
      }
    };
    if (same.empty()) {
      put(std::nullopt);
      continue;
    }
    const auto equal = std::find_if(same.begin(), same.end(), [&](std::size_t i) { return list[i] == incoming; });
    if (equal != same.end()) {
      const auto unmet = std::find_if(same.begin(), same.end(), [&](std::size_t i) { return !met[i] && list[i] == incoming; });
      if (unmet != same.end()) met[*unmet] = true;
      continue;
    }
    const auto unmet = std::find_if(same.begin(), same.end(), [&](std::size_t i) { return !met[i]; });
    const std::size_t counterpart = unmet == same.end() ? same.front() : *unmet;
    met[counterpart] = true;
    OverwriteAnswer answer = OverwriteAnswer::Yes;
    if (!all) {
      result.questions.emplace_back(list[counterpart].text, incoming.text);
      answer = answers(result.questions.size() - 1);
    }
    if (answer == OverwriteAnswer::All) all = true;
    put(answer == OverwriteAnswer::No ? std::nullopt : std::optional<std::size_t>(counterpart));
  }
  result.records = std::move(list);
  return result;
}

// `count` records of three lines; where `shared`, each first line is the
// first line of two records.
std::vector<Rec> numberedRecords(std::size_t count, bool shared) {
  std::vector<Rec> records(count);
  for (std::size_t i = 0; i < count; ++i) {
    records[i].text = "Note " + std::to_string(shared ? i / 2 : i) + "\nline a\nline " + std::to_string(i);
    records[i].category = static_cast<std::uint8_t>(i % 4);
    records[i].secret = static_cast<std::uint8_t>(i % 3 == 0);
    records[i].places = static_cast<std::uint8_t>(i);
    records[i].stripZeros = static_cast<std::uint8_t>(i % 2);
  }
  return records;
}

// Every size up to 400, and every size within 3 of each power of two and of
// each 1.5 times a power of two, up to the most a database holds: the sizes
// at which the merge's tables grow.
std::vector<std::size_t> sweptSizes() {
  std::set<std::size_t> sizes;
  for (std::size_t n = 0; n <= 400; ++n) sizes.insert(n);
  for (std::size_t power = 256; power <= 65536; power *= 2) {
    for (const std::size_t around : {power, power + power / 2}) {
      for (std::size_t n = around - 3; n <= around + 3; ++n) {
        if (n <= kMaxRecords) sizes.insert(n);
      }
    }
  }
  return {sizes.begin(), sizes.end()};
}

const Answers kNoQuestion = [](std::size_t) -> OverwriteAnswer {
  ADD_FAILURE() << "a question was asked";
  return OverwriteAnswer::No;
};

TEST(MergeSweep, AnUnchangedExportComesBackUnchangedAtEverySize) {
  for (const bool shared : {false, true}) {
    for (const std::size_t n : sweptSizes()) {
      SCOPED_TRACE(std::to_string(n) + (shared ? " records, first lines shared" : " records"));
      const std::vector<Rec> records = numberedRecords(n, shared);
      const std::string db = databaseOf(records);
      const MergeResult result = realMerge(db, exportOf(db), kNoQuestion);
      ASSERT_EQ(result.questions.size(), 0u);
      ASSERT_EQ(result.records, records);
    }
  }
}

TEST(MergeSweep, OneEditedRecordAsksOnceAndYesReplacesIt) {
  const std::vector<std::size_t> sizes = sweptSizes();
  for (const bool shared : {false, true}) {
    for (std::size_t i = 1; i < sizes.size(); i += 7) {
      const std::size_t n = sizes[i];
      SCOPED_TRACE(std::to_string(n) + (shared ? " records, first lines shared" : " records"));
      const std::vector<Rec> records = numberedRecords(n, shared);
      std::vector<Rec> edited = records;
      const std::size_t target = n * 2 / 3;
      edited[target].text += " edited";
      const MergeResult result =
          realMerge(databaseOf(records), textOf(edited), [](std::size_t) { return OverwriteAnswer::Yes; });
      ASSERT_EQ(result.questions.size(), 1u);
      EXPECT_EQ(result.questions[0], std::make_pair(records[target].text, edited[target].text));
      ASSERT_EQ(result.records, edited);
    }
  }
}

// The whole text is read before the first question: a note about a record
// after the one asked about is given before it is asked.
TEST(MergeSweep, EveryNoteComesBeforeTheFirstQuestion) {
  struct Notes : TextNotes {
    void note(std::uint64_t line, std::string_view) override { lines.push_back(line); }
    std::vector<std::uint64_t> lines;
  } notes;
  const std::vector<Rec> records = numberedRecords(3, false);
  std::vector<Rec> edited = records;
  edited[0].text += " edited";
  edited[2].text += "\ncaf\xC3\xA9";  // seems to be saved as UTF-8: noted
  const std::string db = databaseOf(records), text = textOf(edited);
  RecordList list;
  BufferedReader file(BufferedReader::InMemory{}, db);
  DatabaseParts parts = loadRecords(file, list);
  BufferedReader textReader(BufferedReader::InMemory{}, text);
  CategoryTable categories(parts.appInfo);
  MergeSteps steps(list, categories, textReader, &notes);
  ASSERT_TRUE(steps.next());
  EXPECT_EQ(steps.incoming().text, edited[0].text);
  // Three lines of each block before it, the header lines, then the text.
  EXPECT_EQ(notes.lines, std::vector<std::uint64_t>{2 * 6 + 2 + 4});
  steps.answer(OverwriteAnswer::All);
  EXPECT_FALSE(steps.next());
  EXPECT_EQ(notes.lines.size(), 1u);
}

// A random old database and an edited text of it: first lines shared by one
// to five records, bodies and settings edited, blocks duplicated, deleted,
// moved and added.
struct RandomCase {
  std::vector<Rec> old, text;
  std::vector<OverwriteAnswer> answers;
};

RandomCase randomCase(std::uint32_t seed) {
  std::mt19937 random(seed);
  auto pick = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
  RandomCase c;
  const int size = pick(0, 5) == 0 ? pick(0, 2500) : pick(0, 250);
  const int lines = std::max(1, size / pick(1, 5));
  auto randomRecord = [&] {
    Rec r;
    r.text = "L" + std::to_string(pick(0, lines * 5 / 4));
    for (int extra = pick(0, 2); extra > 0; --extra) r.text += "\n" + std::string(static_cast<std::size_t>(pick(0, 2)), "ab"[pick(0, 1)]);
    r.category = static_cast<std::uint8_t>(pick(0, 3));
    r.secret = static_cast<std::uint8_t>(pick(0, 4) == 0);
    r.places = static_cast<std::uint8_t>(pick(0, 2));
    r.stripZeros = static_cast<std::uint8_t>(pick(0, 1));
    return r;
  };
  for (int i = 0; i < size; ++i) c.old.push_back(randomRecord());
  for (const Rec& r : c.old) {
    switch (pick(0, 9)) {
      case 0: break;  // deleted
      case 1: c.text.push_back(r); c.text.push_back(r); break;
      case 2: c.text.push_back(r); c.text.back().text += "\nmore"; break;
      case 3: c.text.push_back(r); c.text.back().places ^= 1; break;
      case 4: c.text.push_back(randomRecord()); break;
      default: c.text.push_back(r);
    }
    if (!c.text.empty() && pick(0, 19) == 0) std::swap(c.text.back(), c.text[static_cast<std::size_t>(pick(0, static_cast<int>(c.text.size()) - 1))]);
  }
  for (int extra = pick(0, 20); extra > 0; --extra) c.text.push_back(randomRecord());
  const int mix = pick(0, 3);
  for (std::size_t i = 0; i < c.text.size(); ++i) {
    const int a = pick(0, 99);
    c.answers.push_back(a < 1 + 2 * mix ? OverwriteAnswer::All : a < 50 ? OverwriteAnswer::Yes : OverwriteAnswer::No);
  }
  return c;
}

TEST(MergeReference, TheMergeFollowsThePlainRulesOnRandomCases) {
  std::uint32_t first = 1, last = 80;
  if (const char* replay = std::getenv("TX_MERGE_SEED")) first = last = static_cast<std::uint32_t>(std::atol(replay));
  for (std::uint32_t seed = first; seed <= last; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with TX_MERGE_SEED=" + std::to_string(seed) + ")");
    const RandomCase c = randomCase(seed);
    const Answers answers = [&c](std::size_t question) { return c.answers.at(question); };
    const MergeResult want = referenceMerge(c.old, c.text, answers);
    const MergeResult got = realMerge(databaseOf(c.old), textOf(c.text), answers);
    ASSERT_EQ(got.questions, want.questions);
    ASSERT_EQ(got.records, want.records);
  }
}

}  // namespace
}  // namespace tx
