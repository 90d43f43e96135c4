#include "importer/in_place_update.h"

#include <cerrno>
#include <optional>

#include "dbformat/database_file.h"
#include "dbformat/update_mark.h"
#include "system/exit_signals.h"
#include "system/fatal.h"
#include "system/file_io.h"
#include "system/open_file.h"

namespace tx {
namespace {

constexpr std::string_view kErrorWritingDatabase = "Error writing database file";

std::string newToken() {
  std::string token;
  while (token.size() < kTokenSize) token += platform::randomSuffix();
  token.resize(kTokenSize);
  return token;
}

// The rollback copy of one update: written and flushed, with its
// directory, when it is made; removed on the way out until a put-back
// guard holds it.
class RollbackCopy {
 public:
  RollbackCopy(const std::string& target, const platform::FileStatus& status, const std::string& old,
               const std::string& token)
      : path_(rollbackCopyPath(target, status)) {
    if (path_.empty()) {
      fatalError("Error writing database rollback copy (give NewDbFileName to write the new database to another file)",
                 "no new file can be made beside the database, and this user has no state folder "
                 "($XDG_STATE_HOME or ~/.local/state) to keep it in");
    }
    const std::string bytes = rollbackCopyBytes(token, status.volume, status.index, old);
    FileDescriptor copy;
    {
      // From the moment it exists until a put-back guard holds it, a signal
      // removes it.
      exit_signals::Deferred deferred;
      copy = FileDescriptor(platform::createNew(path_));
      if (copy.get() >= 0) removal_.emplace(path_);
    }
    if (copy.get() < 0 || !writeAll(copy.get(), bytes.data(), bytes.size()) || platform::flushToDisk(copy.get()) != 0 ||
        platform::flushDirectory(platform::directoryOf(path_)) != 0) {
      const int error = errno;
      copy = FileDescriptor();
      removal_.reset();
      fail(error);
    }
  }

  const std::string& path() const { return path_; }
  void handOver() noexcept { removal_->keep(); }

  // The new database is whole on the disk.
  void remove() {
    if (platform::removeFile(path_) != 0 || platform::flushDirectory(platform::directoryOf(path_)) != 0) {
      fatalSystemError("Error removing database rollback copy \"" + path_ +
                       "\" (the new database is in place; the next run removes the copy)");
    }
  }

 private:
  [[noreturn]] void fail(int error) const {
    fatalSystemError("Error writing database rollback copy \"" + path_ +
                         "\" (give NewDbFileName to write the new database to another file)",
                     error);
  }

  std::string path_;
  std::optional<exit_signals::RemoveOnExit> removal_;
};

void checked(bool done) {
  if (!done) fatalSystemError(kErrorWritingDatabase);
}

void writeAt(int fd, std::string_view bytes, std::uint64_t offset) {
  for (std::size_t done = 0; done < bytes.size();) {
    const long wrote = platform::writeAt(fd, bytes.data() + done, bytes.size() - done, offset + done);
    if (wrote < 0 && errno == EINTR) continue;
    checked(wrote > 0);
    done += static_cast<std::size_t>(wrote);
  }
}

// The mark, then the new bytes after it, then its place: each on the disk
// before the next.
void rewrite(int fd, const UpdateMark& mark, std::uint64_t size, std::uint64_t oldSize,
             const std::function<std::string(int fd, std::size_t holdBack)>& writeDatabase) {
  writeAt(fd, markBytes(mark), 0);
  checked(platform::flushToDisk(fd) == 0);
  if (size > oldSize) {
    // Room for the new bytes first, where the file system can promise it.
    const int error = platform::reserveRoom(fd, size);
    if (error != 0) fatalSystemError(kErrorWritingDatabase, error);
  }
  checked(platform::seekTo(fd, kMarkSize) == 0);
  const std::string head = writeDatabase(fd, kMarkSize);
  const long long end = platform::currentOffset(fd);
  checked(end >= 0 && platform::truncateFile(fd, static_cast<std::uint64_t>(end)) == 0);
  checked(platform::flushToDisk(fd) == 0);
  writeAt(fd, head, 0);
  checked(platform::flushToDisk(fd) == 0);
}

}  // namespace

void writeIntoOldFile(int fd, const std::string& path, const std::string& target, const platform::FileStatus& status,
                      const std::string& old, std::uint64_t size,
                      const std::function<std::string(int fd, std::size_t holdBack)>& writeDatabase) {
  // No reader may read the file from the copy on until it is gone.
  if (!waitForLock(fd, platform::LockByte::Rewrite, true)) {
    fatalError(kErrorWritingDatabase, "\"" + path + "\" is being read by another program, so nothing was written; "
                                                    "run the import again");
  }
  const UpdateMark mark{newToken(), {}};
  RollbackCopy copy(target, status, old, mark.token);
  // Until the new bytes are all on the disk, a run that ends puts the old
  // ones back from memory (the mark's bytes last) and removes the copy.
  exit_signals::PutBack putBack(fd, old.size(), old.data(), old.size(), copy.path().c_str(), kMarkSize);
  copy.handOver();
  try {
    rewrite(fd, UpdateMark{mark.token, copy.path()}, size, old.size(), writeDatabase);
  } catch (const Failure& failure) {
    if (putBack.undoNow()) throw;
    std::string text = failure.text();
    if (!text.empty() && text.back() == '\n') text.pop_back();
    throw Failure(failure.stream(), text + "; the old database could not be put back, so it stays marked as being "
                                           "updated and its rollback copy \"" + copy.path() +
                                           "\" stays: the next run of either program puts the old bytes back\n");
  }
  {
    // The new bytes are on the disk: from here a signal waits until the
    // copy is gone.
    exit_signals::Deferred deferred;
    putBack.keep();
    copy.remove();
  }
  // The rewrite lock stays with the descriptor until the caller closes it
  // with the update lock, so that a run waiting for the rewrite finds the
  // update over, not an import that still holds the file.
}

}  // namespace tx
