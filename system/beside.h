// Two parts of a run's work at once, where the host has a second thread.
#pragma once

#include <functional>

namespace tx {

// Runs `beside` on a second thread while the calling thread runs `work`,
// and returns once both have ended; where the host gives no second thread,
// `work` and then `beside`.  A failure (or memory that could not be had) in
// either is thrown again here once both have ended, `work`'s first: so a
// failure of `beside` counts only where `work` went through.
void runBeside(const std::function<void()>& work, const std::function<void()>& beside);

}  // namespace tx
