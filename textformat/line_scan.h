// The text reader's scans of its bytes: many at a time, since most bytes of
// most lines are none of those it looks for.  Sixteen at a time where the
// processor can (every x86-64 one, and a browser's WebAssembly), eight
// elsewhere, then one at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tx {

// Where the first carriage return or zero byte stands in `line`, or its
// size.
std::size_t firstReturnOrZero(std::string_view line);

// How many line feeds `size` bytes hold.
std::uint64_t countLineFeeds(const char* bytes, std::size_t size);

// Where the first tilde or byte past ASCII stands in `text`, or its size.
std::size_t firstTildeOrHighByte(std::string_view text);

// In `bytes`: where the first carriage return or zero byte stands, or the
// first line feed that a tilde follows (the start of a line that may be a
// separator), `size` where there is none; and in the same pass, how many
// line feeds stand before it and whether a tilde or a byte past ASCII does.
struct LineStop {
  std::size_t at = 0;
  std::uint64_t feeds = 0;
  bool marked = false;
};
LineStop scanToLineStop(const char* bytes, std::size_t size);

}  // namespace tx
