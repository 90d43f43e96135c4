#include "system/beside.h"

#include <exception>

#include "system/platform.h"

namespace tx {
namespace {

struct Beside {
  const std::function<void()>& work;
  std::exception_ptr failure;
};

void runCatching(void* argument) {
  auto* beside = static_cast<Beside*>(argument);
  try {
    beside->work();
  } catch (...) {
    beside->failure = std::current_exception();
  }
}

}  // namespace

void runBeside(const std::function<void()>& work, const std::function<void()>& beside) {
  Beside second{beside, nullptr};
  void* thread = nullptr;
  const bool started = platform::startThread(runCatching, &second, thread);
  std::exception_ptr failure;
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
  if (started) {
    platform::joinThread(thread);
  } else if (!failure) {
    runCatching(&second);
  }
  if (failure) std::rethrow_exception(failure);
  if (second.failure) std::rethrow_exception(second.failure);
}

}  // namespace tx
