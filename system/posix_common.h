// For the two hosts with a POSIX interface (posix_common.cc).
#pragma once

#include <sys/stat.h>

#include "system/platform.h"

namespace tx::platform {

// A file's status as the platform layer gives it.
FileStatus fromStat(const struct stat& info);

}  // namespace tx::platform
