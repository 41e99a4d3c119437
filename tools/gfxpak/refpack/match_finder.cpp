#include "refpack/match_finder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace refpack::detail {
namespace {

// How far back a match of each length is of use, up to the length from
// which it is as far as any copy reaches.
constexpr std::size_t kLongestReach = kCopyForms[kCopyFormCount - 1].shortest;
constexpr auto kReach = [] {
  std::array<std::uint32_t, kLongestReach + 1> reach{};
  for (std::size_t len = 0; len <= kLongestReach; ++len) reach[len] = ReachOf(len);
  return reach;
}();
static_assert(kReach[kLongestReach] == kWindow);

// Of 3-byte matches only the 2-byte command's can be used.
constexpr std::size_t kShortReach = kCopyForms[0].reach;

inline std::uint32_t Load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline std::uint32_t Hash4(const std::uint8_t* p, unsigned bits) { return (Load32(p) * 2654435761u) >> (32 - bits); }

// Reads only the three bytes, which may be the last of the input.
inline std::uint32_t Hash3(const std::uint8_t* p, unsigned bits) {
  const std::uint32_t v = static_cast<std::uint32_t>(p[0] | p[1] << 8 | p[2] << 16);
  return (v * 2654435761u) >> (32 - bits);
}

// The smallest power of two at least n, and at least 1024, at most limit.
inline std::size_t TableSize(std::size_t n, std::size_t limit) {
  std::size_t size = 1024;
  while (size < n && size < limit) size *= 2;
  return size;
}

inline unsigned Log2(std::size_t power_of_two) { return static_cast<unsigned>(std::countr_zero(power_of_two)); }

static_assert(std::endian::native == std::endian::little, "the comparisons count bytes from the low end");

// Length of the common prefix of a and b, at most limit; a lies before b.
// Byte by byte: only for the last bytes of the input, which the comparisons
// below may not read past.
inline std::size_t MatchLengthAtEnd(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit) {
  std::size_t n = 0;
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

// How far past limit MatchLength may read.
constexpr std::size_t kSlack = 16;

// Length of the common prefix of a and b, at most limit; a lies before b,
// and kSlack bytes past b + limit may be read. Most comparisons in a tree
// end within the first 8 bytes, which one load settles; a long run goes on
// 16 bytes at a time where SSE2 is sure to be there (every x86-64), 8 at a
// time elsewhere: the 32-bit release is built for processors without it.
inline std::size_t MatchLength(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit) {
  std::uint64_t x, y;
  std::memcpy(&x, a, 8);
  std::memcpy(&y, b, 8);
  if (x != y) return std::min(limit, static_cast<std::size_t>(std::countr_zero(x ^ y) >> 3));
  std::size_t n = 8;
#if defined(__SSE2__)
  for (; n < limit; n += 16) {
    const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + n));
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + n));
    const unsigned differ = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(va, vb))) ^ 0xFFFFu;
    if (differ != 0) return std::min(limit, n + static_cast<std::size_t>(std::countr_zero(differ)));
  }
#else
  for (; n < limit; n += 8) {
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (x != y) return std::min(limit, n + static_cast<std::size_t>(std::countr_zero(x ^ y) >> 3));
  }
#endif
  return limit;
}

}  // namespace

MatchFinder::MatchFinder(std::size_t capacity, const Tuning& tuning)
    : depth_(tuning.depth),
      long_depth_(tuning.long_depth),
      deepen_length_(tuning.deepen_length),
      stop_length_(tuning.stop_length),
      short_depth_(tuning.short_depth),
      bits_(Log2(TableSize(capacity, std::size_t{1} << 16))),
      short_bits_(Log2(TableSize(capacity, std::size_t{1} << 14))),
      // Over kWindow, so that a position's slot is not reused while it is in reach.
      mask_(TableSize(capacity, std::size_t{1} << 18) - 1),
      head_(std::make_unique_for_overwrite<std::uint32_t[]>(std::size_t{1} << bits_)),
      short_head_(std::make_unique_for_overwrite<std::uint32_t[]>(std::size_t{1} << short_bits_)),
      short_prev_(std::make_unique_for_overwrite<std::uint32_t[]>(kShortReach)),
      tree_(std::make_unique_for_overwrite<std::uint32_t[]>(2 * (mask_ + 1))) {}

void MatchFinder::Reset(std::span<const std::uint8_t> input, std::size_t floor, std::size_t end) {
  data_ = input.data();
  size_ = input.size();
  floor_ = floor;
  end_ = end;
  // The tree needs no clearing: only links made since the reset lead into it.
  std::fill_n(head_.get(), std::size_t{1} << bits_, 0u);
  std::fill_n(short_head_.get(), std::size_t{1} << short_bits_, 0u);
}

// Whether a comparison at pos may read the slack past the longest match.
inline bool MatchFinder::Padded(std::size_t pos) const { return pos + kMaxLength + kSlack <= size_; }

// The nearest 3-byte match, which the tree (over 4-byte hashes) does not
// hold, if near enough for the 2-byte command: a walk along the positions
// with the same 3-byte hash, which are few that near and mostly the same
// bytes, short_depth of them at most. Inserts pos there.
inline std::size_t MatchFinder::FindShort(std::size_t pos, std::size_t limit, bool padded, Match* out) {
  const std::uint8_t* const here = data_ + pos;
  std::uint32_t& head = short_head_[Hash3(here, short_bits_)];
  std::size_t count = 0;
  std::uint32_t candidate = head;
  for (unsigned depth = short_depth_; depth != 0 && candidate > floor_ && pos + 1 - candidate <= kShortReach;
       --depth) {
    const std::uint8_t* const there = data_ + candidate - 1;
    if (there[0] == here[0] && there[1] == here[1] && there[2] == here[2]) {
      const std::size_t len = padded ? MatchLength(there, here, limit) : MatchLengthAtEnd(there, here, limit);
      out[0] = {static_cast<std::uint32_t>(len),
                static_cast<std::uint32_t>(pos + 1 - candidate)};
      count = 1;
      break;
    }
    candidate = short_prev_[(candidate - 1) % kShortReach];
  }
  // Only now: pos takes the slot of the position kShortReach back, which
  // the walk may just have read.
  InsertShort(pos, head);
  return count;
}

// Links pos in front of the positions with its 3-byte hash. Its slot is
// that of the position kShortReach before it, which no walk from pos or
// later needs.
inline void MatchFinder::InsertShort(std::size_t pos, std::uint32_t& head) {
  short_prev_[pos % kShortReach] = head;
  head = static_cast<std::uint32_t>(pos + 1);
}

// The searches ahead start at the roots of their trees, which are seldom
// in the cache: the slot of the root two positions on is fetched now, and
// the node and bytes of the one next.
void MatchFinder::Prefetch(std::size_t pos) {
  if (pos + 6 > end_) return;
  __builtin_prefetch(&head_[Hash4(data_ + pos + 2, bits_)]);
  const std::uint32_t root = head_[Hash4(data_ + pos + 1, bits_)];
  if (root != 0) {
    __builtin_prefetch(&tree_[2 * ((root - 1) & mask_)]);
    __builtin_prefetch(data_ + root - 1);
  }
}

void MatchFinder::Insert(std::size_t pos) {
  if (pos + kMinLength > end_) return;
  Prefetch(pos);
  InsertShort(pos, short_head_[Hash3(data_ + pos, short_bits_)]);
  if (pos + 4 > end_) return;
  const std::size_t limit = std::min(kMaxLength, end_ - pos);
  if (Padded(pos)) {
    Descend<false, true>(pos, limit, kMaxLength, nullptr);
  } else {
    Descend<false, false>(pos, limit, kMaxLength, nullptr);
  }
}

std::size_t MatchFinder::Find(std::size_t pos, Match* out) {
  const std::size_t limit = std::min(kMaxLength, end_ - pos);
  if (limit < kMinLength) return 0;
  Prefetch(pos);
  const bool padded = Padded(pos);
  const std::size_t count = FindShort(pos, limit, padded, out);
  if (limit < 4) return count;
  const std::size_t best = count != 0 ? out[0].length : kMinLength - 1;
  return count + (padded ? Descend<true, true>(pos, limit, best, out + count)
                         : Descend<true, false>(pos, limit, best, out + count));
}


// Inserts pos into the tree of its 4-byte hash, which is ordered by the
// bytes that follow each position and has the newest position at its root,
// and reports (with kReport) each match on the way down that is longer
// than best and can be expressed. Returns how many it reported. Without
// kPadded, near the end of the input, it compares byte by byte.
// Where a pattern repeats (a flat area of a picture), the way down passes
// many positions that share the repeat before it reaches one that goes on
// further, and an insertion that stops there cuts the rest of the tree
// off: once a long match shows up, the descent goes deeper.
template <bool kReport, bool kPadded>
std::size_t MatchFinder::Descend(std::size_t pos, std::size_t limit, std::size_t best, Match* out) {
  const auto common = [](const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    return kPadded ? MatchLength(a, b, n) : MatchLengthAtEnd(a, b, n);
  };
  const std::uint8_t* const here = data_ + pos;
  const std::size_t tree_limit = std::min(limit, stop_length_);
  std::uint32_t& root = head_[Hash4(here, bits_)];
  std::uint32_t candidate = root;
  root = static_cast<std::uint32_t>(pos + 1);
  // Where the next candidate that sorts below (above) pos is to be linked.
  std::uint32_t* smaller = &tree_[2 * (pos & mask_)];
  std::uint32_t* larger = smaller + 1;
  std::size_t smaller_len = 0, larger_len = 0;  // what every candidate below each link shares with pos
  std::size_t longest = 0;                      // the longest match met on the way
  const std::size_t lowest = std::max(floor_, pos > kWindow ? pos - kWindow : 0) + 1;
  std::size_t count = 0;
  std::size_t deepen_length = deepen_length_;
  for (unsigned depth = depth_; candidate >= lowest && depth != 0; --depth) {
    const std::size_t from = candidate - 1;
    const std::uint8_t* const there = data_ + from;
    std::uint32_t* const pair = &tree_[2 * (from & mask_)];
    // Every candidate below the links shares their shorter length with pos;
    // one comparison from there measures the match and, where it ends,
    // tells which way to go on.
    std::size_t len = std::min(smaller_len, larger_len);
    len += common(there + len, here + len, tree_limit - len);
    // Only a match longer than any before on the way is news: a nearer
    // candidate had every other, and a farther one reaches no further.
    if (len > longest) {
      longest = len;
      if (len >= deepen_length) {
        depth += long_depth_;
        deepen_length = SIZE_MAX;
      }
      if constexpr (kReport) {
        const std::size_t full = len == tree_limit ? len + common(there + len, here + len, limit - len) : len;
        if (full > best && pos - from <= kReach[std::min(full, kLongestReach)]) {
          best = full;
          out[count++] = {static_cast<std::uint32_t>(full), static_cast<std::uint32_t>(pos - from)};
        }
      }
      if (len == tree_limit) {
        // The same bytes as far as the tree compares, or a match long
        // enough to be taken: pos takes the candidate's place.
        *smaller = pair[0];
        *larger = pair[1];
        return count;
      }
    }
    if (there[len] < here[len]) {
      *smaller = candidate;
      smaller = pair + 1;
      candidate = *smaller;
      smaller_len = len;
    } else {
      *larger = candidate;
      larger = pair;
      candidate = *larger;
      larger_len = len;
    }
  }
  *smaller = 0;
  *larger = 0;
  return count;
}

std::size_t MatchFinder::Scan(std::size_t pos, Match* out, std::size_t& count) {
  for (; pos + 4 <= end_; ++pos) {
    count = Find(pos, out);
    if (count != 0) return pos;
  }
  count = 0;
  return pos;
}

}  // namespace refpack::detail
