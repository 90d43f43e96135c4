#include "dbformat/database_file.h"

#include <cerrno>
#include <optional>

#include "dbformat/update_mark.h"
#include "system/exit_signals.h"
#include "system/fatal.h"
#include "system/file_io.h"

namespace tx {
namespace {

constexpr int kLockWaitMilliseconds = 5000;
constexpr int kLockPollMilliseconds = 20;
constexpr std::string_view kRollbackTag = ".TxImport-rollback";

std::string besideCopy(const std::string& path) {
  std::string name = ".";
  name.append(platform::baseNameOf(path)).append(kRollbackTag);
  return platform::joinPath(platform::directoryOf(path), name);
}

std::string stateCopy(const platform::FileStatus& status, bool make) {
  const std::string folder = platform::stateDirectory(make);
  if (folder.empty()) return {};
  return platform::joinPath(folder, "rollback-" + std::to_string(status.volume) + "-" + std::to_string(status.index));
}

std::string readHead(int fd) {
  std::string head(kMarkSize, '\0');
  head.resize(readFromStart(fd, head.data(), head.size()).got);
  return head;
}

// The bytes of a candidate copy: only a regular file of this user's, opened
// without following a link and without waiting on a pipe or a device.
std::optional<std::string> readCandidate(const std::string& path) {
  const FileDescriptor file(platform::openOwnForReading(path));
  platform::FileStatus status;
  if (file.get() < 0 || !platform::status(file.get(), status) || !status.regular ||
      status.owner != platform::userId()) {
    return std::nullopt;
  }
  FileBytes read = readBytesFromStart(file.get(), status.size);
  if (read.error != 0) return std::nullopt;
  return std::move(read.bytes);
}

void note(std::FILE* notes, std::string_view program, const std::string& path, std::string_view words) {
  reportNote(notes, noteText(program, path, "", words));
}

void removeCopy(const std::string& copy, std::string_view afterwards) {
  if (platform::removeFile(copy) != 0 || platform::flushDirectory(platform::directoryOf(copy)) != 0) {
    fatalSystemError("Error removing database rollback copy \"" + copy + "\" (" + std::string(afterwards) + ")");
  }
}

// A copy that no marked file claims is never applied.  Where it is of this
// very file, or cut short (the mark is written only once its copy is
// whole, so no file needs it), the update it belonged to has ended: it
// goes, with a note.  One of another file is left alone.
void removeLeftCopies(const std::string& path, int fd, std::string_view program, std::FILE* notes) {
  platform::FileStatus status;
  if (!platform::status(fd, status)) return;
  for (const std::string& copy : {besideCopy(path), stateCopy(status, false)}) {
    if (copy.empty()) continue;
    const std::optional<std::string> bytes = readCandidate(copy);
    if (!bytes) continue;
    const std::optional<RollbackCopyBytes> parsed = readRollbackCopy(*bytes);
    if (parsed && (parsed->volume != status.volume || parsed->index != status.index)) continue;
    if (platform::removeFile(copy) != 0) continue;
    platform::flushDirectory(platform::directoryOf(copy));
    note(notes, program, path,
         parsed ? "the rollback copy \"" + copy + "\" of an update of it that had ended was removed"
                : "the rollback copy \"" + copy + "\" of an update that was cut short before it began was removed");
  }
}

// Puts back the old bytes of a marked file from the copy its mark names,
// through `fd`, which holds the update lock.
void putBack(int fd, const std::string& path, std::string_view program, std::FILE* notes) {
  if (!waitForLock(fd, platform::LockByte::Rewrite, true)) failToOpen(path, kAnotherImport);
  const std::optional<UpdateMark> mark = readMark(readHead(fd));
  if (mark) {
    const std::optional<std::string> bytes = readCandidate(mark->copyPath);
    const std::optional<RollbackCopyBytes> copy = bytes ? readRollbackCopy(*bytes) : std::nullopt;
    if (!copy || copy->token != mark->token) {
      failToOpen(path, "an update of it was cut short, and its rollback copy \"" + mark->copyPath +
                           "\" is missing or damaged, so it is not read");
    }
    if (!exit_signals::restoreBytes(fd, copy->old.data(), copy->old.size(), copy->old.size(), kMarkSize)) {
      fatalSystemError("Error restoring database from its rollback copy \"" + mark->copyPath + "\"");
    }
    removeCopy(mark->copyPath, "the old database is back");
    note(notes, program, path, "an update of it was cut short; it was put back as it was before from its rollback copy");
  }
  platform::lockByte(fd, platform::LockByte::Rewrite, false);
}

FileDescriptor openForUpdate(const std::string& path, std::string_view refusal) {
  FileDescriptor file(platform::openExisting(path, false, true));
  if (file.get() < 0) {
    int error = errno;
    // The host's own words for why, where it has them (a file marked
    // read-only on Windows), as the other checks of a file to write give.
    if (!platform::canWrite(path)) error = errno;
    if (refusal.empty()) failToOpen(path, platform::errorText(error));
    failToOpen(path, refusal);
  }
  return file;
}

}  // namespace

bool waitForLock(int fd, platform::LockByte which, bool exclusive) {
  for (int waited = 0;; waited += kLockPollMilliseconds) {
    if (platform::lockByte(fd, which, exclusive) != EWOULDBLOCK) return true;
    if (waited >= kLockWaitMilliseconds) return false;
    platform::sleepMilliseconds(kLockPollMilliseconds);
  }
}

std::string rollbackCopyPath(const std::string& target, const platform::FileStatus& status) {
  const std::string beside = platform::absolutePath(besideCopy(target));
  if (beside.size() <= kLongestCopyPath && platform::directoryTakesFiles(platform::directoryOf(target))) return beside;
  const std::string state = stateCopy(status, true);
  return state.size() <= kLongestCopyPath ? state : std::string();
}

FileDescriptor openDatabase(const std::string& path, DatabaseAccess access, std::string_view program,
                            std::FILE* notes) {
  for (;;) {
    FileDescriptor file = access == DatabaseAccess::Read ? openForReading(path) : openForUpdate(path, {});
    if (access == DatabaseAccess::Update && platform::lockByte(file.get(), platform::LockByte::Update, true) == EWOULDBLOCK) {
      failToOpen(path, kAnotherImport);
    }
    if (!waitForLock(file.get(), platform::LockByte::Rewrite, false)) failToOpen(path, kAnotherImport);
    const std::optional<UpdateMark> mark = readMark(readHead(file.get()));
    if (!mark) {
      removeLeftCopies(path, file.get(), program, notes);
      return file;
    }
    if (access == DatabaseAccess::Update) {
      putBack(file.get(), path, program, notes);
      continue;  // read again, as put back
    }
    // A reader puts it back through a descriptor of its own that may write,
    // with the update lock, then opens it again.
    file = FileDescriptor();
    FileDescriptor update = openForUpdate(path, "an update of it was cut short; its old bytes are in \"" +
                                                    mark->copyPath + "\", which a run that may write it puts back");
    if (!waitForLock(update.get(), platform::LockByte::Update, true)) failToOpen(path, kAnotherImport);
    putBack(update.get(), path, program, notes);
  }
}

}  // namespace tx
