#include "importer/replacement_file.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "system/exit_signals.h"
#include "system/fatal.h"
#include "system/file_io.h"
#include "system/platform.h"
#include "importer/in_place_update.h"

namespace tx {
namespace {

constexpr std::string_view kErrorReadingDatabase = "Error reading database file";
constexpr std::string_view kErrorWritingDatabase = "Error writing database file";
constexpr std::string_view kErrorReplacingDatabase = "Error replacing database file";
constexpr std::string_view kTemporaryTag = ".TxImport-";

// The temporary name's stem: ".<name>.TxImport-", or ".TxImport-" alone
// where the name is too long to take the rest.
std::string hiddenName(const std::string& base) {
  std::string name = ".";
  name.append(base).append(kTemporaryTag);
  return name;
}

std::string temporaryStem(const std::string& directory, const std::string& base) {
  const std::size_t full = 1 + base.size() + kTemporaryTag.size() + 6;
  return platform::joinPath(directory, full <= platform::longestName(directory) ? hiddenName(base)
                                                                                : std::string(kTemporaryTag));
}

// The reason a new file cannot be made for `path`: for a directory that
// exists but takes no new file, that directory is named.
std::string noNewFile(int error, const std::string& directory) {
  std::string reason = platform::errorText(error);
  if (error != ENOENT && error != ENOTDIR) reason += " (no file can be created in \"" + directory + "\")";
  return reason;
}

}  // namespace

std::optional<ReplacementFile::Mode> ReplacementFile::modeFor(const std::optional<platform::FileStatus>& existing,
                                                              NewFile newFile, bool identityKept) {
  if (existing && !existing->regular) return Mode::Direct;
  // Another name would keep seeing the old database.
  if (existing && existing->links > 1) return Mode::InPlace;
  switch (newFile) {
    case NewFile::Unnamed:
      return !existing || identityKept ? Mode::Replace : Mode::InPlace;
    case NewFile::Named:
      // Its identity is given when it is made, at the write.
      return Mode::Replace;
    case NewFile::None:
      break;
  }
  if (existing) return Mode::InPlace;
  return std::nullopt;
}

ReplacementFile::ReplacementFile(const std::string& path, std::optional<platform::FileStatus> oldDatabase,
                                 std::string_view oldBytes, FileDescriptor oldFile, std::FILE* notes)
    : path_(path), oldDatabase_(oldDatabase), oldBytes_(oldBytes), held_(std::move(oldFile)) {
  // The kernel follows the path's links, with its protections against links
  // planted by other users; none is read here by hand.
  platform::OutputLookup output;
  if (!platform::lookUpOutput(path, output)) failToOpen(path_, platform::errorText(errno));
  target_ = output.target;
  if (output.made) madeTarget_.emplace(target_);
  if (output.exists) existing_ = output.status;
  directory_ = platform::directoryOf(target_);
  if (existing_ && existing_->directory) failToOpen(path_, platform::errorText(EISDIR));
  // An output the user could not write in place is not replaced either; the
  // kernel's protections against planted files answer here too.
  if (existing_ && !platform::canWrite(path_)) failToOpen(path_, platform::errorText(errno));
  // Another database named as the output is held against a second import
  // of it, and must not change before it is replaced.
  expected_ = oldDatabase_;
  if (existing_ && existing_->regular && !oldDatabase_ && !output.made) {
    // Put back first where an update of it was cut short.
    held_ = openDatabase(path_, DatabaseAccess::Update, "TxImport", notes);
    platform::FileStatus now;
    if (!platform::status(held_.get(), now)) failToOpen(path_, platform::errorText(errno));
    existing_ = now;
    expected_ = existing_;
  }
  // A copy that an import which was killed between naming its new file and
  // renaming it left behind holds the database's records (secret ones too):
  // it goes, once this run holds the database against other imports.
  if (existing_ && existing_->regular && expected_) {
    platform::removeStaleTemporaries(directory_, hiddenName(platform::baseNameOf(target_)),
                                     static_cast<std::int64_t>(std::time(nullptr)));
  }
  const bool mayReplace = !existing_ || (existing_->regular && existing_->links == 1);
  const NewFile newFile = mayReplace ? openNewFile() : NewFile::None;
  const bool identityKept = newFile == NewFile::Unnamed && existing_ && keepIdentity();
  const std::optional<Mode> mode = modeFor(existing_, newFile, identityKept);
  if (!mode) failToOpen(path_, noNewFile(errno, directory_));
  mode_ = *mode;
  if (mode_ != Mode::Replace) {
    file_ = FileDescriptor();
    unnamed_ = false;
  }
}

// The unnamed file, open; or where the host has none, whether the directory
// takes a named one, made only when the database is written.  None leaves
// errno at the reason the directory takes no new file.
ReplacementFile::NewFile ReplacementFile::openNewFile() {
  const int fd = platform::createUnnamed(directory_);
  if (fd >= 0) {
    file_ = FileDescriptor(fd);
    unnamed_ = true;
    return NewFile::Unnamed;
  }
  if (errno == EOPNOTSUPP && platform::directoryTakesFiles(directory_)) return NewFile::Named;
  return NewFile::None;
}

void ReplacementFile::openNamed() {
  std::string pattern = temporaryStem(directory_, platform::baseNameOf(target_)) + "XXXXXX";
  // The file exists from the moment it is made: a signal must find it armed.
  exit_signals::Deferred deferred;
  const int fd = platform::createTemporary(pattern);
  if (fd < 0) failToOpen(path_, noNewFile(errno, directory_));
  file_ = FileDescriptor(fd);
  temporary_.emplace(std::move(pattern));
}

void ReplacementFile::nameUnnamed() {
  const std::string stem = temporaryStem(directory_, platform::baseNameOf(target_));
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = stem + platform::randomSuffix();
    if (platform::nameUnnamed(file_.get(), name) == 0) {
      temporary_.emplace(std::move(name));
      return;
    }
    if (errno != EEXIST) break;
  }
  fatalSystemError(kErrorReplacingDatabase);
}

// Gives the new file what the old one had besides its bytes: owner, group,
// permission bits, ACL, extended attributes.  False where any of it cannot
// be set.
bool ReplacementFile::keepIdentity() {
  // A file that cannot be read for it is a failure, not a reason to write
  // into the old file.
  const FileDescriptor source(platform::openForReading(target_));
  if (source.get() < 0) failToOpen(path_, platform::errorText(errno));
  return platform::copyIdentity(target_, source.get(), file_.get());
}

ReplacementFile::~ReplacementFile() {
  if (committed_) return;
  // Closed before it is removed, as some systems require.
  file_ = FileDescriptor();
  temporary_.reset();
  madeTarget_.reset();
}

void ReplacementFile::commit() noexcept {
  committed_ = true;
  if (temporary_) temporary_->keep();
  if (madeTarget_) madeTarget_->keep();
}

// The output must be as it was found: the old database as it was read (its
// status, then where given its bytes), another database as it was when the
// run began.
void ReplacementFile::checkUnchanged(const platform::FileStatus& now, std::optional<std::string_view> bytes) const {
  bool same = !expected_ || platform::sameVersion(*expected_, now);
  if (same && oldDatabase_ && bytes) same = *bytes == oldBytes_;
  if (!same) {
    fatalError(kErrorReplacingDatabase, "\"" + path_ +
                                            "\" was changed by another program while this import ran, so nothing "
                                            "was written; run the import again");
  }
}

// The old database's bytes as they are now.
std::string ReplacementFile::currentBytes(const platform::FileStatus& now) const {
  const FileDescriptor file(platform::openForReading(target_));
  if (file.get() < 0) fatalSystemError(kErrorReadingDatabase);
  FileBytes read = readBytesFromStart(file.get(), now.size);
  if (read.error != 0) fatalSystemError(kErrorReadingDatabase, read.error);
  return std::move(read.bytes);
}

void ReplacementFile::write(std::uint64_t size, const DatabaseWriter& writeDatabase) {
  switch (mode_) {
    case Mode::Direct:
      file_ = FileDescriptor(platform::openExisting(target_, true, false));
      if (file_.get() < 0) failToOpen(path_, platform::errorText(errno));
      writeDatabase(file_.get(), 0);
      file_.close(kErrorWritingDatabase);
      commit();
      return;
    case Mode::InPlace:
      writeInPlace(size, writeDatabase);
      return;
    case Mode::Replace:
      replace(size, writeDatabase);
      return;
  }
}

void ReplacementFile::replace(std::uint64_t size, const DatabaseWriter& writeDatabase) {
  if (file_.get() < 0) {
    openNamed();
    if (existing_ ? !keepIdentity() : platform::setDefaultPermissions(file_.get()) != 0) {
      file_ = FileDescriptor();
      temporary_.reset();
      if (!existing_) fatalSystemError(kErrorWritingDatabase);
      mode_ = Mode::InPlace;
      writeInPlace(size, writeDatabase);
      return;
    }
  }
  writeDatabase(file_.get(), 0);
  if (platform::flushToDisk(file_.get()) != 0) fatalSystemError(kErrorWritingDatabase);
  // The old database's bytes are compared before the new file has a name,
  // which a process killed meanwhile would leave behind; its status is
  // compared again just before the replacement.
  auto statusNow = [this] {
    platform::FileStatus now;
    if (!platform::status(target_, now)) now = {};
    return now;
  };
  if (existing_ && oldDatabase_) {
    const platform::FileStatus now = statusNow();
    checkUnchanged(now, currentBytes(now));
  }
  {
    // From the moment the new file has a name until it has the output's, a
    // signal waits: the output is then either the old file or the new one.
    exit_signals::Deferred deferred;
    if (unnamed_) nameUnnamed();
    file_.close(kErrorWritingDatabase);
    if (existing_) checkUnchanged(statusNow(), std::nullopt);
    putInPlace();
    commit();
  }
  // The new name must reach the disk as well.
  if (platform::flushDirectory(directory_) != 0) {
    fatalError(kErrorWritingDatabase, std::string("the new database is in place, but its directory could not be "
                                                  "flushed to the disk: ") + platform::errorText(errno));
  }
}

// The new file takes the output's name: over the file found there, or where
// there was none, only while there still is none.
void ReplacementFile::putInPlace() {
  // Nothing of this run's holds the file it replaces.
  held_ = FileDescriptor();
  if (existing_ || madeTarget_) {
    if (platform::replaceFile(temporary_->path(), target_) != 0) fatalSystemError(kErrorReplacingDatabase);
    return;
  }
  if (platform::renameNoReplace(temporary_->path(), target_) == 0) return;
  if (errno != EEXIST) fatalSystemError(kErrorReplacingDatabase);
  fatalError(kErrorReplacingDatabase, "\"" + path_ +
                                          "\" was changed by another program while this import ran, so nothing "
                                          "was written; run the import again");
}

void ReplacementFile::writeInPlace(std::uint64_t size, const DatabaseWriter& writeDatabase) {
  if (held_.get() < 0) {
    held_ = openDatabase(path_, DatabaseAccess::Update, "TxImport", nullptr);
  }
  const int fd = held_.get();
  platform::FileStatus now;
  if (!platform::status(fd, now)) fatalSystemError(kErrorReadingDatabase);
  checkUnchanged(now, std::nullopt);
  // The old bytes, to put back if the new ones cannot all be written.
  const FileBytes read = readBytesFromStart(fd, now.size);
  if (read.bytes.size() < now.size) {
    fatalSystemError(kErrorReadingDatabase, read.error != 0 ? read.error : EIO);
  }
  checkUnchanged(now, read.bytes);
  writeIntoOldFile(fd, path_, target_, now, read.bytes, size, writeDatabase);
  commit();
}

}  // namespace tx
