#include "system/rollback.h"

#include <cerrno>
#include <cstring>

#include "system/exit_signals.h"
#include "system/fatal.h"
#include "system/file_io.h"
#include "system/open_file.h"

namespace tx {
namespace {

constexpr std::string_view kMagic = "TxTools rollback copy 1\n";
constexpr std::size_t kHeadSize = kMagic.size() + 4 * 8;
constexpr std::string_view kRollbackTag = ".TxImport-rollback";

std::uint64_t checksum(std::string_view bytes) {
  std::uint64_t hash = 0xCBF29CE484222325u;  // FNV-1a
  for (char byte : bytes) hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001B3u;
  return hash;
}

void put64(std::string& out, std::uint64_t value) {
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift));
}

std::uint64_t get64(std::string_view bytes, std::size_t at) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// Beside the file, or in the temporary directory by the file's identity.
std::string besideCopy(const std::string& path) {
  std::string name = ".";
  name.append(platform::baseNameOf(path)).append(kRollbackTag);
  return platform::joinPath(platform::directoryOf(path), name);
}

std::string temporaryCopy(const platform::FileStatus& file) {
  return platform::joinPath(platform::temporaryDirectory(), "txtools-rollback-" + std::to_string(platform::userId()) +
                                                               "-" + std::to_string(file.volume) + "-" +
                                                               std::to_string(file.index));
}

}  // namespace

RollbackCopy::RollbackCopy(const std::string& path, const platform::FileStatus& file, std::string_view old) {
  const std::string directory = platform::directoryOf(path);
  path_ = platform::directoryTakesFiles(directory) ? besideCopy(path) : temporaryCopy(file);
  std::string head(kMagic);
  put64(head, file.volume);
  put64(head, file.index);
  put64(head, old.size());
  put64(head, checksum(old));
  FileDescriptor copy;
  {
    // From the moment it exists until a put-back guard holds it, a signal
    // removes it.
    exit_signals::Deferred deferred;
    copy = FileDescriptor(platform::createNew(path_));
    if (copy.get() >= 0) removal_.emplace(path_);
  }
  const bool written = copy.get() >= 0 && writeAll(copy.get(), head.data(), head.size()) &&
                       writeAll(copy.get(), old.data(), old.size()) && platform::flushToDisk(copy.get()) == 0 &&
                       platform::flushDirectory(platform::directoryOf(path_)) == 0;
  if (!written) {
    const int error = errno;
    copy = FileDescriptor();
    removal_.reset();
    errno = error;
    fatalSystemError("Error writing database rollback copy \"" + path_ +
                     "\" (give NewDbFileName to write the new database to another file)");
  }
}

void RollbackCopy::handOver() noexcept { removal_->keep(); }

void RollbackCopy::remove() {
  removal_->keep();
  if (platform::removeFile(path_) != 0 || platform::flushDirectory(platform::directoryOf(path_)) != 0) {
    fatalSystemError("Error removing database rollback copy \"" + path_ +
                     "\" (the new database is in place; the next run puts the old one back)");
  }
}

std::optional<std::string> recoverFromRollbackCopy(const std::string& path) {
  platform::FileStatus file;
  if (!platform::status(path, file) || !file.regular) return std::nullopt;
  for (const std::string& copyPath : {besideCopy(path), temporaryCopy(file)}) {
    FileDescriptor copyFile(platform::openOwnForReading(copyPath));
    platform::FileStatus copyStatus;
    // Only a copy of this user's, of this very file.
    if (copyFile.get() < 0 || !platform::status(copyFile.get(), copyStatus) || !copyStatus.regular ||
        copyStatus.owner != platform::userId()) {
      continue;
    }
    const std::string copy = readBytesFromStart(copyFile.get(), copyStatus.size).bytes;
    // A copy whose head did not reach the disk whole never began to serve:
    // the file is not touched before the whole copy is on the disk.  One of
    // another file (this one was replaced since) is left alone.
    const bool headCutShort = copy.size() < kHeadSize || copy.compare(0, kMagic.size(), kMagic) != 0;
    if (!headCutShort && (get64(copy, kMagic.size()) != file.volume || get64(copy, kMagic.size() + 8) != file.index)) {
      continue;
    }
    copyFile = FileDescriptor();
    // An import that holds the file is at work on it: its copy is its own.
    const FileDescriptor held(platform::openForReading(path));
    if (held.get() >= 0 && platform::lockForUpdate(held.get()) == EWOULDBLOCK) return std::nullopt;
    const std::string_view old = headCutShort ? std::string_view() : std::string_view(copy).substr(kHeadSize);
    std::string words;
    if (headCutShort || old.size() != get64(copy, kMagic.size() + 16) ||
        checksum(old) != get64(copy, kMagic.size() + 24)) {
      // Cut short itself: the file was not touched yet.
      words = "the rollback copy of an update that was cut short before it began was removed";
    } else {
      FileDescriptor database(platform::openExisting(path, false, true));
      if (database.get() < 0) fatalSystemError("Error restoring database from its rollback copy \"" + copyPath + "\"");
      if (readBytesFromStart(database.get(), file.size).bytes == old) {
        words = "an update of it that was cut short had not changed it; its rollback copy was removed";
      } else if (platform::restoreBytesForSignal(database.get(), old.data(), old.size(), old.size())) {
        words = "an update of it was cut short; it was put back as it was before from its rollback copy";
      } else {
        fatalSystemError("Error restoring database from its rollback copy \"" + copyPath + "\"");
      }
    }
    if (platform::removeFile(copyPath) != 0 || platform::flushDirectory(platform::directoryOf(copyPath)) != 0) {
      fatalSystemError("Error removing database rollback copy \"" + copyPath + "\"");
    }
    return words;
  }
  return std::nullopt;
}

void recoverBeforeReading(const std::string& path, std::string_view program, std::FILE* notes) {
  const std::optional<std::string> done = recoverFromRollbackCopy(path);
  if (done) reportNote(notes, noteText(program, path, "", *done));
}

}  // namespace tx
