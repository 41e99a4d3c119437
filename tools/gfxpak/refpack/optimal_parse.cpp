#include "refpack/optimal_parse.h"

#include <algorithm>

namespace refpack::detail {
namespace {

// After this many positions in a row where the search found nothing, the
// parse hands over to the finder's scan for the next match.
constexpr std::size_t kMissesBeforeScan = 8;
// How many nodes after a long match are searched for one that reaches farther.
constexpr std::uint32_t kLookAhead = 2;

// Costs are counted from this at a block's start, so that the nodes before
// it can hold the pending literals' share; kUnreached and a few literals
// more stay far below overflow.
constexpr std::uint32_t kStartCost = 16;
constexpr std::uint32_t kUnreached = 1u << 30;

// A run of 4 literals after a copy: three that could have ridden in the
// next command, and the fourth with the literal command byte it brings.
constexpr std::uint32_t kNewRunCost = kMaxCarried + LiteralCost(kMaxCarried);

}  // namespace

OptimalParse::OptimalParse(const Tuning& tuning, std::size_t capacity)
    : tuning_(tuning),
      block_(static_cast<std::uint32_t>(std::min(tuning.block, capacity))),
      cost_(std::make_unique_for_overwrite<std::uint32_t[]>(kBefore + block_ + 2)),
      long_cost_(std::make_unique_for_overwrite<std::uint32_t[]>(kBefore + block_ + 2)),
      long_run_(std::make_unique_for_overwrite<std::uint32_t[]>(kBefore + block_ + 2)),
      arrival_(std::make_unique_for_overwrite<Arrival[]>(kBefore + block_ + 2)),
      matches_(MatchFinder::kMaxMatches),
      scanned_(MatchFinder::kMaxMatches) {}

void OptimalParse::Run(std::span<const std::uint8_t> input, MatchFinder& finder, CommandWriter& writer,
                       std::size_t from, std::size_t end) {
  data_ = input.data();
  finder_ = &finder;
  writer_ = &writer;
  end_ = end;
  scan_ = false;
  have_scanned_ = false;
  for (std::size_t pos = from; pos < end;) {
    pos = ParseBlock(pos);
    if (scan_) {
      pos = finder.Scan(pos, scanned_.data(), scanned_count_);
      have_scanned_ = true;
    }
  }
}

// Finds the cheapest path from start over at most block positions, emits
// its copies and returns where it ended; the literals after its last copy
// stay pending and are priced on into the next block.
std::size_t OptimalParse::ParseBlock(std::size_t start) {
  const std::uint32_t span = static_cast<std::uint32_t>(std::min<std::size_t>(block_, end_ - start));
  StartBlock(start - writer_->literal_start());
  std::size_t misses = 0;
  std::uint32_t copy_reach = 0;  // the farthest node a copy reaches
  scan_ = false;
  for (std::uint32_t j = 0; j < span; ++j) {
    Reach(j);
    std::uint32_t base;
    const std::uint8_t from = Settle(j, base);
    std::size_t count;
    const Match* matches = matches_.data();
    if (have_scanned_) [[unlikely]] {
      count = scanned_count_;
      matches = scanned_.data();
      have_scanned_ = false;
    } else {
      count = finder_->Find(start + j, matches_.data());
    }
    if (count == 0) {
      // Nothing found for a while and no copy ends near: only the long
      // literal run is left, so the path so far is settled and the scan
      // can take over.
      if (++misses >= kMissesBeforeScan && copy_reach + kLongRun <= j + 1) {
        scan_ = true;
        return Finish(start, j + 1);
      }
      continue;
    }
    misses = 0;
    const std::uint32_t longest = PriceAt(start, j, base, from, matches, count, span, copy_reach);
    if (longest >= tuning_.nice_length && longest <= span - j) return TakeLongMatch(start, j, span, longest);
    if (longest >= tuning_.skip_length) j = PassInside(start, j, longest, span, copy_reach) - 1;
  }
  return Finish(start, span);
}

// Prices the matches at node j, and the longest one where it may really
// start; returns its length. copy_reach is the farthest node a copy
// reached before, and after.
std::uint32_t OptimalParse::PriceAt(std::size_t start, std::uint32_t j, std::uint32_t base, std::uint8_t from,
                                    const Match* matches, std::size_t count, std::uint32_t span,
                                    std::uint32_t& copy_reach) {
  const std::uint32_t longest = matches[count - 1].length;
  // A match that reaches farther than any before may have started
  // earlier, where nothing found it.
  if (tuning_.extend_back != 0 && j + longest > copy_reach) ExtendBack(start, j, base, matches[count - 1], span);
  PriceMatches(j, base, from, matches, count, span);
  copy_reach = std::max(copy_reach, std::min(j + longest, span));
  return longest;
}

// Goes on inside the long match found at node j, and returns the node
// where the usual search resumes, resume nodes before the match's end. On
// the way it searches only every skip_stride-th node, and prices only what
// reaches past the long match, which copies the rest of itself from each
// of them as well. The finder takes in what it searches, the last
// insert_tail nodes before the search resumes, where the next searches
// look first, and every insert_stride-th on the way, so that a later
// search from anywhere in the stretch is at most a few positions from one.
std::uint32_t OptimalParse::PassInside(std::size_t start, std::uint32_t j, std::uint32_t longest, std::uint32_t span,
                                       std::uint32_t& copy_reach) {
  const auto stride = static_cast<std::uint32_t>(tuning_.skip_stride);
  const auto resume = static_cast<std::uint32_t>(tuning_.resume);
  const auto tail = static_cast<std::uint32_t>(tuning_.insert_tail);
  std::uint32_t cover_end = j + longest;
  std::uint32_t until = std::min(cover_end - resume, span);
  std::uint32_t next = j + stride;
  for (std::uint32_t i = j + 1; i < until; ++i) {
    Reach(i);
    std::uint32_t base;
    const std::uint8_t from = Settle(i, base);
    if (i != next) {
      if (i + tail >= until || (start + i) % tuning_.insert_stride == 0) finder_->Insert(start + i);
      continue;
    }
    next += stride;
    std::size_t count = finder_->Find(start + i, matches_.data());
    const Match* matches = matches_.data();
    while (count != 0 && i + matches->length <= cover_end) ++matches, --count;
    if (count == 0) continue;
    const std::uint32_t reach = i + PriceAt(start, i, base, from, matches, count, span, copy_reach);
    if (reach - i >= tuning_.skip_length) {
      // A long match of its own: the stretch goes on to its end.
      cover_end = reach;
      until = std::min(cover_end - resume, span);
    }
  }
  return until;
}

// A match that the search meets only some positions after it starts (it
// searched none of them, or its walk ended early there): tried backwards
// over up to extend_back positions, and priced from where it starts, at
// the lengths that reach past node j.
void OptimalParse::ExtendBack(std::size_t start, std::uint32_t j, std::uint32_t base_j, const Match& match,
                              std::uint32_t span) {
  const std::size_t pos = start + j;
  const std::size_t most = std::min({tuning_.extend_back, std::size_t{j}, pos - match.distance});
  const std::uint8_t* const here = data_ + pos;
  const std::uint8_t* const there = here - match.distance;
  std::uint32_t k = 0;
  while (k < most && here[-1 - static_cast<std::ptrdiff_t>(k)] == there[-1 - static_cast<std::ptrdiff_t>(k)]) ++k;
  if (k == 0) return;
  std::uint32_t base;
  const std::uint8_t from = Cheapest(j - k, base);
  // Starting earlier pays only when the path there is cheaper than to j:
  // a copy from j is as short and no dearer.
  if (base >= base_j) return;
  const Match extended = {std::min(match.length + k, static_cast<std::uint32_t>(kMaxLength)), match.distance};
  PriceMatches(j - k, base, from, &extended, 1, span, std::max(k + 1, static_cast<std::uint32_t>(kMinLength)));
}

// The block's first node, reached for free with pending literals not yet
// written: the nodes before it carry their share.
void OptimalParse::StartBlock(std::size_t pending) {
  filled_ = 0;
  std::fill_n(cost_.get(), kBefore + 1, kUnreached);
  std::fill_n(long_cost_.get(), kBefore + 1, kUnreached);
  std::fill_n(long_run_.get(), kBefore + 1, 0u);
  if (pending < kLongRun) {
    const auto literals = static_cast<std::uint32_t>(pending);
    cost(0 - literals) = kStartCost - literals;
  } else {
    long_cost(0) = kStartCost;
    long_run(0) = static_cast<std::uint32_t>(pending);
  }
}

// Makes nodes up to at usable: none is reached yet.
void OptimalParse::Reach(std::uint32_t at) {
  while (filled_ < at) cost(++filled_) = kUnreached;
}

// The cheapest state of node j, where copies from j leave, with its cost in
// best. States 1 to 3 need no storage: they are state 0 a literal or three
// back, plus one a literal.
inline std::uint8_t OptimalParse::Cheapest(std::uint32_t j, std::uint32_t& best) {
  std::uint8_t from = 0;
  best = cost(j);
  for (std::uint8_t k = 1; k < kLongRun; ++k) {
    const std::uint32_t c = cost(j - k) + k;
    if (c < best) best = c, from = k;
  }
  if (long_cost(j) < best) best = long_cost(j), from = kLongRun;
  return from;
}

// The cheapest state of node j, as above; and one more literal into the
// long-run state of node j + 1. Inlined: it runs at every position, where a
// call costs about a fifth of what it does.
[[gnu::always_inline]] inline std::uint8_t OptimalParse::Settle(std::uint32_t j, std::uint32_t& best) {
  const std::uint8_t from = Cheapest(j, best);
  const std::uint32_t run = long_run(j);
  const std::uint32_t start_run = cost(j - static_cast<std::uint32_t>(kMaxCarried)) + kNewRunCost;
  const std::uint32_t go_on = long_cost(j) + LiteralCost(run);
  if (start_run <= go_on) {
    long_cost(j + 1) = start_run;
    long_run(j + 1) = kMaxCarried + 1;
  } else {
    long_cost(j + 1) = go_on;
    long_run(j + 1) = run + 1;
  }
  return from;
}

// Prices the copies that the matches at node j make possible, leaving from
// its state from at cost base: every length, each at the cheapest form
// that takes it from the nearest match that long, from shortest on.
// Returns the longest match's length.
std::uint32_t OptimalParse::PriceMatches(std::uint32_t j, std::uint32_t base, std::uint8_t from, const Match* matches,
                                         std::size_t count, std::uint32_t span, std::uint32_t shortest) {
  const std::uint32_t longest = matches[count - 1].length;
  const std::uint32_t limit = std::min(span - j, static_cast<std::uint32_t>(kMaxLength));
  Reach(j + std::min(limit, longest));
  std::uint32_t* const target = &cost(j);
  Arrival* const arrival_at = &arrival(j);
  std::uint32_t len = shortest;  // the shortest length not priced yet
  for (const Match* m = matches; m != matches + count && len <= limit; ++m) {
    const std::uint32_t top = std::min(m->length, limit);
    // The finder reports only what some form can copy, and the last form
    // takes every length up to the longest: the loop ends there at the latest.
    std::size_t f = 0;
    while (m->distance > kCopyForms[f].reach) ++f;
    for (; len <= top; ++f) {
      const CopyForm& form = kCopyForms[f];
      const std::uint32_t price = base + form.bytes;
      const std::uint32_t last = std::min(top, form.longest);
      for (std::uint32_t l = std::max(len, form.shortest); l <= last; ++l) {
        if (price < target[l]) {
          target[l] = price;
          arrival_at[l] = {m->distance, static_cast<std::uint16_t>(l), from};
        }
      }
      len = std::max(len, last + 1);
    }
  }
  return longest;
}

// Takes the long match at node i, whatever the others offer, or one from
// the next few nodes that reaches farther for no more: a long repeat often
// starts a byte or two after the first long match shows up. Returns where
// the match ends, which becomes the end of the block: only a copy reaches
// it, so that the block's path surely contains one. The inner positions
// only feed the finder.
std::size_t OptimalParse::TakeLongMatch(std::size_t start, std::uint32_t i, std::uint32_t span, std::uint32_t longest) {
  std::uint32_t end = i + longest;
  std::uint32_t searched = i;
  for (std::uint32_t j = i + 1; j <= i + kLookAhead && j < end; ++j) {
    Reach(j);
    std::uint32_t base;
    const std::uint8_t from = Settle(j, base);
    const std::size_t count = finder_->Find(start + j, matches_.data());
    searched = j;
    if (count == 0) break;
    const std::uint32_t reach = j + PriceMatches(j, base, from, matches_.data(), count, span);
    if (reach <= end || reach > span || cost(reach) > cost(end)) break;
    end = reach;
  }
  PassOver(start + searched + 1, start + end);
  Emit(start, end, 0);
  return start + end;
}

// Passes over the positions from..to without a search, up to the next one
// at to: the finder takes in the last few, where the next searches look
// first, and every insert_stride-th on the way, so that a later search
// from anywhere in the stretch is at most a few positions from one.
void OptimalParse::PassOver(std::size_t from, std::size_t to) {
  const std::size_t stride = tuning_.insert_stride;
  const std::size_t tail = to - std::min(to - from, tuning_.insert_tail);
  for (std::size_t pos = (from + stride - 1) / stride * stride; pos < tail; pos += stride) finder_->Insert(pos);
  for (std::size_t pos = tail; pos < to; ++pos) finder_->Insert(pos);
}

// Ends the block at node end in its cheapest state.
std::size_t OptimalParse::Finish(std::size_t start, std::uint32_t end) {
  Reach(end);
  std::uint32_t best;
  Emit(start, end, Settle(end, best));
  return start + end;
}

// Walks the chosen path back from node end in state and writes its copies
// in order.
void OptimalParse::Emit(std::size_t start, std::uint32_t end, std::uint8_t state) {
  steps_.clear();
  for (std::uint32_t j = end; j > 0;) {
    if (state == 0) {
      const Arrival& a = arrival(j);
      j -= a.length;
      steps_.push_back({start + j, a.length, a.distance});
      state = a.from;
    } else {
      const std::uint32_t literals = state == kLongRun ? long_run(j) : state;
      if (literals > j) break;  // they began before the block
      j -= literals;
      state = 0;
    }
  }
  for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) writer_->Copy(it->pos, it->length, it->distance);
}

}  // namespace refpack::detail
