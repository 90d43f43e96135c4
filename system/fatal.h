// How a failure leaves a run: as one value, thrown where the failure is
// detected and caught at the program's edge, which prints it and ends the run
// with status 1.  Whatever must be undone on the way out (a temporary file, a
// torn record) is undone by the destructors of the objects that own it.
#pragma once

#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tx {

// Where a failure's text goes: format and open messages to standard output,
// failures that carry a reason to standard error.
enum class FailureStream { Out, Err };

class Failure {
 public:
  Failure(FailureStream stream, std::string text) : stream_(stream), text_(std::move(text)) {}
  FailureStream stream() const { return stream_; }
  // The text exactly as it is printed, line end included where there is one.
  const std::string& text() const { return text_; }

 private:
  FailureStream stream_;
  std::string text_;
};

// Fails with "message: reason" and a line end, for standard error.
[[noreturn]] void fatalError(std::string_view message, std::string_view reason);

// As fatalError, with the system's text for the current error number.
[[noreturn]] void fatalSystemError(std::string_view message);
// The same for the error number `error`, which a call gave back or a reader
// kept.
[[noreturn]] void fatalSystemError(std::string_view message, int error);

// As fatalSystemError for the error number `error`; where it is 0 (a read
// came up short without a system error) the reason is "unexpected end of
// file" rather than the system's text for no error.
[[noreturn]] void fatalReadError(std::string_view message, int error);

// Fails with `text` as it stands, for standard output.
[[noreturn]] void fatalMessage(std::string_view text);

// A note, which changes nothing of the run, as one line, its line end
// included:
//   <program>: note: "<path>"<where>: <words>
// `where` is empty or says where in the file (" line 12").
std::string noteText(std::string_view program, std::string_view path, std::string_view where,
                     std::string_view words);
// Writes such a line on `out`.
void reportNote(std::FILE* out, std::string_view line);

// Prints a failure on its stream, standard output flushed first so that the
// messages come in the order they were made.
void reportFailure(const Failure& failure) noexcept;

// Prints "malloc() failure" with the system's text for exhausted memory.
// Needs no memory itself.
void reportOutOfMemory() noexcept;

inline constexpr std::string_view kUnexpectedEnd = "unexpected end of file";
inline constexpr std::string_view kMallocFailure = "malloc() failure";

// Runs `work` and gives what it gives; a failure goes to `onFailure`, memory
// that could not be had to `onOutOfMemory`, and what they give is given.
// By then the work's objects have cleaned up.  The one place that knows
// which exceptions a run can end with.
template <class Work, class OnFailure, class OnOutOfMemory>
auto catchFailures(Work&& work, OnFailure&& onFailure, OnOutOfMemory&& onOutOfMemory) {
  try {
    return work();
  } catch (const Failure& failure) {
    return onFailure(failure);
  } catch (const std::bad_alloc&) {
    return onOutOfMemory();
  } catch (const std::length_error&) {
    // A size past what a string or vector can hold: memory all the same.
    return onOutOfMemory();
  }
}

// Runs a program's work: a failure, or memory that could not be had, is
// printed and gives status 1.
template <class Work>
int runReportingFailures(Work&& work) noexcept {
  return catchFailures(
      [&]() -> int { return work(); },
      [](const Failure& failure) {
        reportFailure(failure);
        return 1;
      },
      [] {
        reportOutOfMemory();
        return 1;
      });
}

}  // namespace tx
