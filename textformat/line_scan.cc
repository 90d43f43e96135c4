#include "textformat/line_scan.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__) && (defined(__x86_64__) || defined(_M_X64) || defined(__wasm_simd128__))
#include <emmintrin.h>
#define TX_SIXTEEN_AT_A_TIME 1
#endif

namespace tx {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101u;
constexpr std::uint64_t kHighs = 0x8080808080808080u;

// Whether any byte of `word` is `byte`.
constexpr std::uint64_t holds(std::uint64_t word, char byte) {
  const std::uint64_t zeroWhere = word ^ (kOnes * static_cast<unsigned char>(byte));
  return (zeroWhere - kOnes) & ~zeroWhere & kHighs;
}

#ifdef TX_SIXTEEN_AT_A_TIME
__m128i sixteenAt(const char* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }

// Bit i set where byte i of `bytes` is `byte`.
unsigned equalBits(__m128i bytes, char byte) {
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(byte))));
}

// A one for each line feed of `bytes`, added to `sums` (two 64-bit halves).
__m128i addLineFeeds(__m128i sums, __m128i feeds) {
  return _mm_add_epi64(sums, _mm_sad_epu8(_mm_and_si128(feeds, _mm_set1_epi8(1)), _mm_setzero_si128()));
}

std::uint64_t total(__m128i sums) {
  return static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
         static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
}
#endif

// Where the first byte that `isIt` takes stands in `text`, or its size:
// `sixteenHas` gives a bit for each of sixteen bytes that it takes (where
// the processor takes sixteen at a time), `wordHas` whether a word holds
// one, to be looked at byte by byte.
#ifdef TX_SIXTEEN_AT_A_TIME
template <class Sixteen, class Word, class Byte>
std::size_t firstWhere(std::string_view text, Sixteen sixteenHas, Word wordHas, Byte isIt) {
#else
template <class Word, class Byte>
std::size_t firstWhere(std::string_view text, Word wordHas, Byte isIt) {
#endif
  const char* bytes = text.data();
  std::size_t at = 0;
#ifdef TX_SIXTEEN_AT_A_TIME
  for (; at + 16 <= text.size(); at += 16) {
    const unsigned found = sixteenHas(sixteenAt(bytes + at));
    if (found != 0) return at + static_cast<std::size_t>(std::countr_zero(found));
  }
#endif
  for (; at + 8 <= text.size(); at += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + at, 8);
    if (wordHas(word)) break;
  }
  for (; at < text.size(); ++at) {
    if (isIt(bytes[at])) return at;
  }
  return text.size();
}

// scanToLineStop's stop alone, a word at a time, where a word in which it
// may stand is looked at byte by byte.
std::size_t firstLineStop(const char* bytes, std::size_t size) {
  auto stopsAt = [bytes, size](std::size_t at) {
    return bytes[at] == '\r' || bytes[at] == '\0' || (bytes[at] == '\n' && at + 1 < size && bytes[at + 1] == '~');
  };
  std::size_t at = 0;
  for (; at + 9 <= size; at += 8) {
    std::uint64_t word;
    std::uint64_t next;  // the same bytes, one on
    std::memcpy(&word, bytes + at, 8);
    std::memcpy(&next, bytes + at + 1, 8);
    if ((holds(word, '\r') | holds(word, '\0') | (holds(word, '\n') & holds(next, '~'))) == 0) continue;
    for (std::size_t i = at; i < at + 8; ++i) {
      if (stopsAt(i)) return i;
    }
  }
  for (; at < size; ++at) {
    if (stopsAt(at)) return at;
  }
  return size;
}

}  // namespace

std::uint64_t countLineFeeds(const char* bytes, std::size_t size) {
  constexpr std::uint64_t kLows = ~kHighs;
  std::uint64_t count = 0;
  std::size_t at = 0;
#ifdef TX_SIXTEEN_AT_A_TIME
  __m128i sums = _mm_setzero_si128();
  for (; at + 16 <= size; at += 16) sums = addLineFeeds(sums, _mm_cmpeq_epi8(sixteenAt(bytes + at), _mm_set1_epi8('\n')));
  count += total(sums);
#endif
  for (; at + 8 <= size; at += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + at, 8);
    word ^= kOnes * '\n';
    // The high bit of each byte that was a line feed, and of no other.
    const std::uint64_t zeros = ~(((word & kLows) + kLows) | word | kLows);
    // One in each byte that was a line feed, summed into the top byte by a
    // multiply (a popcount is a library call on the baseline processor).
    count += ((zeros >> 7) * kOnes) >> 56;
  }
  for (; at < size; ++at) count += bytes[at] == '\n';
  return count;
}

std::size_t firstReturnOrZero(std::string_view line) {
  return firstWhere(
      line,
#ifdef TX_SIXTEEN_AT_A_TIME
      [](__m128i sixteen) { return equalBits(sixteen, '\r') | equalBits(sixteen, '\0'); },
#endif
      [](std::uint64_t word) { return (holds(word, '\r') | holds(word, '\0')) != 0; },
      [](char byte) { return byte == '\r' || byte == '\0'; });
}

std::size_t firstTildeOrHighByte(std::string_view text) {
  return firstWhere(
      text,
#ifdef TX_SIXTEEN_AT_A_TIME
      [](__m128i sixteen) { return static_cast<unsigned>(_mm_movemask_epi8(sixteen)) | equalBits(sixteen, '~'); },
#endif
      [](std::uint64_t word) { return (word & kHighs) != 0 || holds(word, '~') != 0; },
      [](char byte) { return byte == '~' || (static_cast<unsigned char>(byte) & 0x80) != 0; });
}

LineStop scanToLineStop(const char* bytes, std::size_t size) {
  LineStop found;
  std::size_t at = 0;
#ifdef TX_SIXTEEN_AT_A_TIME
  __m128i sums = _mm_setzero_si128();
  unsigned marks = 0;
  for (; at + 17 <= size; at += 16) {
    const __m128i sixteen = sixteenAt(bytes + at);
    const __m128i feeds = _mm_cmpeq_epi8(sixteen, _mm_set1_epi8('\n'));
    const auto feedBits = static_cast<unsigned>(_mm_movemask_epi8(feeds));
    const unsigned stops = equalBits(sixteen, '\r') | equalBits(sixteen, '\0') |
                           (feedBits & equalBits(sixteenAt(bytes + at + 1), '~'));
    const unsigned markBits = static_cast<unsigned>(_mm_movemask_epi8(sixteen)) | equalBits(sixteen, '~');
    if (stops != 0) {
      // Only what stands before the stop counts.
      const auto stop = static_cast<unsigned>(std::countr_zero(stops));
      const unsigned before = (1u << stop) - 1;
      found.at = at + stop;
      found.feeds = total(sums) + static_cast<std::uint64_t>(std::popcount(feedBits & before));
      found.marked = (marks | (markBits & before)) != 0;
      return found;
    }
    sums = addLineFeeds(sums, feeds);
    marks |= markBits;
  }
  found.feeds = total(sums);
  found.marked = marks != 0;
#endif
  // The last bytes a word or a byte at a time.
  const std::size_t stop = at + firstLineStop(bytes + at, size - at);
  found.at = stop;
  found.feeds += countLineFeeds(bytes + at, stop - at);
  found.marked = found.marked || firstTildeOrHighByte({bytes + at, stop - at}) < stop - at;
  return found;
}

}  // namespace tx
