// Failures caught as values in tests: which stream the text would go to, and
// the text itself, as one comparable string.
#pragma once

#include <string>

#include "system/fatal.h"

namespace txtest {

inline std::string onStdout(const std::string& text) { return "stdout: " + text; }
inline std::string onStderr(const std::string& text) { return "stderr: " + text; }

// What `work` fails with ("stdout: ..." or "stderr: ..."; exhausted memory
// as "stderr: malloc() failure"), or "" when it does not fail.
template <class Work>
std::string failureOf(Work&& work) {
  return tx::catchFailures(
      [&] {
        work();
        return std::string();
      },
      [](const tx::Failure& failure) {
        return failure.stream() == tx::FailureStream::Out ? onStdout(failure.text()) : onStderr(failure.text());
      },
      [] { return onStderr(std::string(tx::kMallocFailure)); });
}

}  // namespace txtest
