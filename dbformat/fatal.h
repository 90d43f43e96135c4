// The one way a failure leaves the process: a message, then exit status 1.
#pragma once

#include <functional>
#include <string_view>

namespace tx {

// Prints "message: reason" and a line end on standard error, runs the cleanup
// that the program registered, and ends the process with status 1.
[[noreturn]] void fatalError(std::string_view message, std::string_view reason);

// As fatalError, with the system's text for the current error number.
[[noreturn]] void fatalSystemError(std::string_view message);

// As fatalSystemError for the error number `error`; where it is 0 (a read
// came up short without a system error) the reason is "unexpected end of
// file" rather than the system's text for no error.
[[noreturn]] void fatalReadError(std::string_view message, int error);

// Prints `text` on standard output as it stands, flushes it, runs the
// cleanup and ends the process with status 1.  For the format and open
// messages, which go to standard output.
[[noreturn]] void fatalMessage(std::string_view text);

// The work that a failing process still does before it ends: flushing what
// is complete, removing what is incomplete.  Runs at most once.
void setFatalCleanup(std::function<void()> cleanup);

// For fuzzing and tests that must survive a failure: `interceptor` is called
// after the message and the cleanup, instead of ending the process, and must
// leave by throwing.  If it returns, the process ends as usual.
void setFatalInterceptor(std::function<void()> interceptor);

inline constexpr std::string_view kUnexpectedEnd = "unexpected end of file";
inline constexpr std::string_view kMallocFailure = "malloc() failure";

}  // namespace tx
