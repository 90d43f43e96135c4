// The platform layer, on whichever host the tests run (Linux, or Windows
// under wine).
#include "system/platform.h"

#include "system/beside.h"
#include "system/exit_signals.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tx::platform {
namespace {

// A fresh directory of its own, removed at the end of its scope.
struct ScratchDirectory {
  ScratchDirectory() {
    path = std::filesystem::temp_directory_path() / ("txplatform-" + randomSuffix());
    std::filesystem::create_directory(path);
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string file(const std::string& name, const std::string& bytes) const {
    const std::string full = (path / name).string();
    std::ofstream(full, std::ios::binary) << bytes;
    return full;
  }
  std::filesystem::path path;
};

TEST(Platform, PathsSplitIntoDirectoryAndName) {
  struct Case {
    std::string path, directory, name;
  };
  const Case cases[] = {{"dir/db.pdb", "dir", "db.pdb"}, {"db.pdb", ".", "db.pdb"}, {"/db.pdb", "/", "db.pdb"},
                        {"a/b/c.txt", "a/b", "c.txt"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(directoryOf(c.path), c.directory);
    EXPECT_EQ(baseNameOf(c.path), c.name);
  }
  // A name put back in its directory, by the host's rules.
  struct Joined {
    std::string directory, joined;
  };
#ifdef _WIN32
  const Joined joins[] = {{"dir", "dir\\x"}, {"C:", "C:x"}, {"C:\\", "C:\\x"}, {"\\\\?\\C:\\dir", "\\\\?\\C:\\dir\\x"},
                          {"/", "/x"}, {".", ".\\x"}};
#else
  const Joined joins[] = {{"dir", "dir/x"}, {"/", "/x"}, {".", "./x"}, {"/a/b", "/a/b/x"}};
#endif
  for (const Joined& j : joins) EXPECT_EQ(joinPath(j.directory, "x"), j.joined) << j.directory;
}

TEST(Platform, FilesAreKnownByIdentityAndVersion) {
  ScratchDirectory scratch;
  const std::string one = scratch.file("one.pdb", "first");
  const std::string two = scratch.file("two.pdb", "first");
  const int fd = openForReading(one);
  ASSERT_GE(fd, 0);
  FileStatus opened, named, other, another;
  ASSERT_TRUE(status(fd, opened));
  // The same file under another spelling of its path.
  ASSERT_TRUE(status((scratch.path / "." / "one.pdb").string(), named));
  ASSERT_TRUE(status(two, other));
  EXPECT_TRUE(sameFile(opened, named));
  EXPECT_TRUE(sameVersion(opened, named));
  EXPECT_FALSE(sameFile(opened, other));
  EXPECT_TRUE(opened.regular);
  EXPECT_EQ(opened.size, 5u);
  // Another version: longer.
  scratch.file("one.pdb", "first and more");
  ASSERT_TRUE(status(one, another));
  EXPECT_TRUE(sameFile(opened, another));
  EXPECT_FALSE(sameVersion(opened, another));
  EXPECT_FALSE(status((scratch.path / "none").string(), another));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(closeFile(fd), 0);
}

// Each lock byte is a lock of its own, held by the open file: two opens in
// one process conflict as two processes do.
TEST(Platform, LockBytesConflictByByteAndKind) {
  ScratchDirectory scratch;
  const std::string db = scratch.file("db.pdb", "bytes");
  struct Case {
    LockByte firstByte;
    bool firstExclusive;
    LockByte secondByte;
    bool secondExclusive;
    int second;  // what the second open gets while the first holds its lock
  };
  const Case cases[] = {
      {LockByte::Update, true, LockByte::Update, true, EWOULDBLOCK},
      {LockByte::Update, true, LockByte::Update, false, EWOULDBLOCK},
      {LockByte::Rewrite, false, LockByte::Rewrite, false, 0},
      {LockByte::Rewrite, false, LockByte::Rewrite, true, EWOULDBLOCK},
      {LockByte::Rewrite, true, LockByte::Rewrite, false, EWOULDBLOCK},
      {LockByte::Update, true, LockByte::Rewrite, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(&c - cases));
    const int first = openExisting(db, false, true);
    const int second = openExisting(db, false, true);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    EXPECT_EQ(lockByte(first, c.firstByte, c.firstExclusive), 0);
    EXPECT_EQ(lockByte(second, c.secondByte, c.secondExclusive), c.second);
    // The locks keep no one from the bytes.
    char byte = 0;
    EXPECT_EQ(readAt(second, &byte, 1, 0), 1);
    EXPECT_EQ(byte, 'b');
    // Closing releases: the other open takes the lock, and holds it.
    closeFile(first);
    EXPECT_EQ(lockByte(second, c.secondByte, c.secondExclusive), 0);
    const int again = openExisting(db, false, true);
    ASSERT_GE(again, 0);
    EXPECT_EQ(lockByte(again, c.firstByte, c.firstExclusive), c.second);
    closeFile(second);
    EXPECT_EQ(lockByte(again, c.firstByte, c.firstExclusive), 0);
    closeFile(again);
  }
}

TEST(Platform, FilesAndTheNullDeviceAreNoConsole) {
  ScratchDirectory scratch;
  const int file = openForReading(scratch.file("t.txt", "ab"));
  ASSERT_GE(file, 0);
  EXPECT_FALSE(isConsole(file));
  // Discarding console input from a file leaves it alone.
  char byte = 0;
  ASSERT_EQ(readSome(file, &byte, 1), 1);
  discardConsoleInput(file);
  ASSERT_EQ(readSome(file, &byte, 1), 1);
  EXPECT_EQ(byte, 'b');
  closeFile(file);
  int null = openForReading("/dev/null");
  if (null < 0) null = openForReading("NUL");
  ASSERT_GE(null, 0);
  EXPECT_FALSE(isConsole(null));
  closeFile(null);
}

TEST(Platform, TemporaryFilesAreNewAndReplaceOthers) {
  ScratchDirectory scratch;
  const std::string target = scratch.file("db.pdb", "old");
  std::string pattern = (scratch.path / ".db.pdb.TxImport-XXXXXX").string();
  const int fd = createTemporary(pattern);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(pattern.find("XXXXXX"), std::string::npos);
  ASSERT_EQ(writeSome(fd, "new", 3), 3);
  ASSERT_EQ(flushToDisk(fd), 0);
  ASSERT_EQ(closeFile(fd), 0);
  ASSERT_EQ(replaceFile(pattern, target), 0);
  std::ifstream in(target, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes, "new");
  EXPECT_FALSE(std::filesystem::exists(pattern));
}

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// What a signal would undo (undoArmed, the handler's work) at each step of a
// guard's life: everything while it is armed, nothing once it is kept or gone.
TEST(ExitGuards, ASignalAtEachStepFindsTheWholeGuardOrNone) {
  ScratchDirectory scratch;
  const std::string old = "old bytes";
  const std::string path = scratch.file("db.pdb", old);
  const int fd = openExisting(path, false, true);
  ASSERT_GE(fd, 0);
  const std::string fresh = "NEW BYTES, longer";
  exit_signals::undoArmed();  // nothing armed yet
  EXPECT_EQ(contentOf(path), old);
  {
    exit_signals::PutBack putBack(fd, old.size(), old.data(), old.size());
    ASSERT_EQ(writeAt(fd, fresh.data(), fresh.size(), 0), static_cast<long>(fresh.size()));
    exit_signals::undoArmed();
    EXPECT_EQ(contentOf(path), old);
    ASSERT_EQ(writeAt(fd, fresh.data(), fresh.size(), 0), static_cast<long>(fresh.size()));
    putBack.keep();
    exit_signals::undoArmed();
    EXPECT_EQ(contentOf(path), fresh);
  }
  exit_signals::undoArmed();
  EXPECT_EQ(contentOf(path), fresh);
  {
    // A cut-back that keeps what is whole: the length it holds when undone.
    exit_signals::PutBack cutBack(fd, 0);
    exit_signals::undoArmed();
    EXPECT_EQ(contentOf(path), "");
    ASSERT_EQ(writeAt(fd, fresh.data(), fresh.size(), 0), static_cast<long>(fresh.size()));
    cutBack.setLength(9);
    exit_signals::undoArmed();
    EXPECT_EQ(contentOf(path), fresh.substr(0, 9));
    ASSERT_EQ(writeAt(fd, fresh.data(), fresh.size(), 0), static_cast<long>(fresh.size()));
  }  // not kept: undone at its end
  EXPECT_EQ(contentOf(path), fresh.substr(0, 9));
  ASSERT_EQ(writeAt(fd, fresh.data(), fresh.size(), 0), static_cast<long>(fresh.size()));
  exit_signals::undoArmed();
  EXPECT_EQ(contentOf(path), fresh);
  closeFile(fd);

  const std::string made = scratch.file("made", "x");
  {
    exit_signals::RemoveOnExit removal(made);
    exit_signals::undoArmed();
    EXPECT_FALSE(std::filesystem::exists(made));
    scratch.file("made", "x");
    removal.keep();
    exit_signals::undoArmed();
    EXPECT_TRUE(std::filesystem::exists(made));
  }
  EXPECT_TRUE(std::filesystem::exists(made));
  { exit_signals::RemoveOnExit removal(made); }
  EXPECT_FALSE(std::filesystem::exists(made));
  scratch.file("made", "x");
  exit_signals::undoArmed();
  EXPECT_TRUE(std::filesystem::exists(made));
}

// Removals armed together, up to more than a run uses, each kept in turn
// from the first, the last or the middle: at every step a signal removes
// exactly the paths still armed.
TEST(ExitGuards, EveryArmedRemovalIsDoneWhateverTheOrder) {
  ScratchDirectory scratch;
  for (std::size_t count = 1; count <= 5; ++count) {
    for (const char* order : {"first", "last", "middle"}) {
      SCOPED_TRACE(std::to_string(count) + " kept from the " + order);
      std::vector<std::string> paths;
      std::vector<std::unique_ptr<exit_signals::RemoveOnExit>> guards;
      for (std::size_t i = 0; i < count; ++i) {
        paths.push_back(scratch.file("made" + std::to_string(i), "x"));
        guards.push_back(std::make_unique<exit_signals::RemoveOnExit>(paths.back()));
      }
      std::vector<bool> armed(count, true);
      for (std::size_t step = 0; step <= count; ++step) {
        for (const std::string& path : paths) scratch.file(path.substr(path.rfind('/') + 1), "x");
        exit_signals::undoArmed();
        for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(std::filesystem::exists(paths[i]), !armed[i]) << i;
        if (step == count) break;
        std::vector<std::size_t> left;
        for (std::size_t i = 0; i < count; ++i) {
          if (armed[i]) left.push_back(i);
        }
        const std::string_view from = order;
        const std::size_t next = from == "first" ? left.front() : from == "last" ? left.back() : left[left.size() / 2];
        guards[next]->keep();
        armed[next] = false;
      }
      guards.clear();
      for (const std::string& path : paths) EXPECT_TRUE(std::filesystem::exists(path));
    }
  }
}

}  // namespace
}  // namespace tx::platform

namespace tx {
namespace {

// Both parts run, and a failure of the second counts only where the first
// went through.
TEST(RunBeside, BothRunAndTheFirstFailureIsTheCallers) {
  struct Row {
    bool workFails, besideFails;
    const char* thrown;  // "" for none
  };
  const Row rows[] = {{false, false, ""}, {true, false, "work"}, {false, true, "beside"}, {true, true, "work"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.workFails) + std::to_string(row.besideFails));
    bool workRan = false, besideRan = false;
    std::string thrown;
    try {
      runBeside(
          [&] {
            workRan = true;
            if (row.workFails) throw std::runtime_error("work");
          },
          [&] {
            besideRan = true;
            if (row.besideFails) throw std::runtime_error("beside");
          });
    } catch (const std::runtime_error& failure) {
      thrown = failure.what();
    }
    EXPECT_EQ(thrown, row.thrown);
    EXPECT_TRUE(workRan);
    // Where the host gives no second thread, nothing is left to do after a
    // failure of the first part.
    EXPECT_TRUE(besideRan || row.workFails);
  }
}

}  // namespace
}  // namespace tx
