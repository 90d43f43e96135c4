#include "system/file_beside.h"

#include <cerrno>
#include <ctime>

#include "system/platform.h"

namespace tx {
namespace {

// ".<name><tag>", put together by appending (which some compilers also
// warn about less).
std::string hiddenPrefix(const std::string& target, const std::string& tag) {
  std::string name = ".";
  name.append(platform::baseNameOf(target)).append(tag);
  return name;
}

}  // namespace

FileBeside::FileBeside(std::string target, std::string tag)
    : target_(std::move(target)), directory_(platform::directoryOf(target_)), tag_(std::move(tag)) {}

FileBeside::~FileBeside() {
  if (done_) return;
  // Closed before it is removed, as some systems require.
  file_ = FileDescriptor();
  temporary_.reset();
}

bool FileBeside::open(bool existing) {
  const std::string prefix = hiddenPrefix(target_, tag_);
  const std::string stem = platform::joinPath(directory_, prefix);
  // What a run killed before its rename left behind goes first.
  platform::removeStaleTemporaries(directory_, prefix, static_cast<std::int64_t>(std::time(nullptr)));
  const int unnamed = platform::createUnnamed(directory_);
  if (unnamed >= 0) {
    file_ = FileDescriptor(unnamed);
    unnamed_ = true;
  } else {
    std::string pattern = stem + "XXXXXX";
    // The file exists from the moment it is made: a signal must find it armed.
    exit_signals::Deferred deferred;
    const int named = platform::createTemporary(pattern);
    if (named < 0) return false;
    file_ = FileDescriptor(named);
    temporary_.emplace(std::move(pattern));
  }
  if (!existing) return platform::setDefaultPermissions(file_.get()) == 0;
  const FileDescriptor source(platform::openForReading(target_));
  return source.get() >= 0 && platform::copyIdentity(target_, source.get(), file_.get());
}

bool FileBeside::put() {
  if (platform::flushToDisk(file_.get()) != 0) return false;
  // From the moment the new file has a name until it has the target's, a
  // signal waits: the target is then either the old file or the new one.
  exit_signals::Deferred deferred;
  if (unnamed_) {
    const std::string stem = platform::joinPath(directory_, hiddenPrefix(target_, tag_));
    for (int attempt = 0; !temporary_ && attempt < 100; ++attempt) {
      std::string name = stem + platform::randomSuffix();
      if (platform::nameUnnamed(file_.get(), name) == 0) temporary_.emplace(std::move(name));
      else if (errno != EEXIST) return false;
    }
    if (!temporary_) return false;
  }
  file_ = FileDescriptor();
  if (platform::replaceFile(temporary_->path(), target_) != 0) return false;
  temporary_->keep();
  done_ = true;
  return platform::flushDirectory(directory_) == 0;
}

}  // namespace tx
