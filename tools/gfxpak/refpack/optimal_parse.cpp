#include "refpack/optimal_parse.h"

#include <algorithm>

namespace refpack::detail {
namespace {

// Positions parsed together before the cheapest path through them is emitted.
constexpr std::size_t kBlock = 4096;
// A match this long is taken at once instead of being weighed against its
// neighbours; a run of equal bytes would otherwise cost a parse step per byte.
constexpr std::size_t kNiceLength = 64;
// Inside a match at least this long the parse does not search again until
// its last kSkipLength / 2 bytes: a match starting in the middle of another
// seldom pays.
constexpr std::size_t kSkipLength = 16;
// After this many positions in a row where the search found nothing, the
// parse hands over to the finder's scan for the next match.
constexpr std::size_t kMissesBeforeScan = 8;
// How many nodes after a long match are searched for one that reaches farther.
constexpr std::size_t kLookAhead = 2;
// Lengths of a match within this many of its longest are all priced.
constexpr std::size_t kTail = 16;

using State = OptimalParse::State;
using Node = OptimalParse::Node;

void Clear(Node& n) {
  // The other fields of a state are read only once its cost is finite.
  for (State& st : n.state) st.cost = kInfinite;
}

void Set(State& st, std::uint32_t cost, std::size_t length, std::size_t distance, std::uint8_t prev) {
  st = {cost, static_cast<std::uint32_t>(distance), static_cast<std::uint16_t>(length), prev};
}

}  // namespace

OptimalParse::OptimalParse() : nodes_(std::make_unique_for_overwrite<Node[]>(kBlock + kMaxLength + 1)) {}

void OptimalParse::Run(MatchFinder& finder, CommandWriter& writer, std::size_t from, std::size_t end) {
  finder_ = &finder;
  writer_ = &writer;
  end_ = end;
  scan_ = false;
  have_scanned_ = false;
  for (std::size_t pos = from; pos < end;) {
    pos = ParseBlock(pos);
    if (scan_) {
      pos = finder.Scan(pos, scanned_, scanned_count_);
      have_scanned_ = true;
    }
  }
}

// Finds the cheapest path from start over at most kBlock positions, emits
// its copies and returns where it ended; the literals after its last copy
// stay pending and are priced on into the next block.
std::size_t OptimalParse::ParseBlock(std::size_t start) {
  const std::size_t span = std::min(kBlock, end_ - start);
  StartBlock(start - writer_->literal_start());
  std::size_t end = span;
  Match matches[MatchFinder::kMaxMatches];
  std::size_t skip_until = 0;
  std::size_t misses = 0;
  std::size_t copy_reach = 0;  // the farthest node a copy reaches
  scan_ = false;
  for (std::size_t i = 0; i < span; ++i) {
    const std::uint8_t from = PriceLiteral(i);
    if (i < skip_until) {
      finder_->Insert(start + i);
      continue;
    }
    std::size_t count;
    if (have_scanned_) {
      count = scanned_count_;
      std::copy(scanned_, scanned_ + count, matches);
      have_scanned_ = false;
    } else {
      count = finder_->Find(start + i, matches);
    }
    if (count == 0) {
      // Nothing found for a while and no copy ends near: only the long
      // literal run is left, so the path so far is settled and the scan
      // can take over.
      if (++misses >= kMissesBeforeScan && copy_reach + kLongRun <= i + 1) {
        end = i + 1;
        scan_ = true;
        break;
      }
      continue;
    }
    misses = 0;
    const std::size_t longest = PriceMatches(i, span, matches, count, from);
    copy_reach = std::max(copy_reach, i + std::min(longest, span - i));
    if (longest >= kSkipLength) skip_until = i + longest - kSkipLength / 2;
    if (longest >= kNiceLength && longest <= span - i) {
      end = TakeLongMatch(start, i, span, longest);
      break;
    }
  }
  Emit(start, end);
  return start + end;
}

// The block's first node, reached for free with pending literals not yet
// written.
void OptimalParse::StartBlock(std::size_t pending) {
  filled_ = 0;
  Clear(nodes_[0]);
  if (pending < kLongRun) {
    nodes_[0].state[pending].cost = 0;
  } else {
    nodes_[0].state[kLongRun].cost = 0;
    nodes_[0].long_run = static_cast<std::uint32_t>(pending);
  }
}

// Prices one more literal from each state of node i into node i + 1, and
// returns the cheapest state of node i, where copies from i start.
std::uint8_t OptimalParse::PriceLiteral(std::size_t i) {
  Reach(i + 1);
  const Node& here = nodes_[i];
  Node& next = nodes_[i + 1];
  std::uint8_t best = 0;
  for (std::uint8_t k = 0; k < kStates; ++k) {
    const std::uint32_t c = here.state[k].cost;
    if (c < here.state[best].cost) best = k;
    if (c == kInfinite) continue;
    if (k + 1u < kLongRun) {
      Set(next.state[k + 1], c + 1, 0, 0, k);
      continue;
    }
    const std::size_t run = k == kLongRun ? here.long_run : kLongRun - 1;
    const std::uint32_t cost = c + LiteralCost(run);
    if (cost < next.state[kLongRun].cost) {
      Set(next.state[kLongRun], cost, 0, 0, k);
      next.long_run = static_cast<std::uint32_t>(run + 1);
    }
  }
  return best;
}

// Prices the copies that the matches at node i offer, from its state from,
// and returns the longest match's length.
std::size_t OptimalParse::PriceMatches(std::size_t i, std::size_t span, const Match* matches, std::size_t count,
                                       std::uint8_t from) {
  const std::uint32_t base = nodes_[i].state[from].cost;
  const std::size_t reach = std::min(span - i, kMaxLength);
  Reach(i + std::min<std::size_t>(matches[count - 1].length, reach));
  std::size_t len = kMinLength;
  for (std::size_t m = 0; m < count && len <= reach; ++m) {
    const std::size_t top = std::min<std::size_t>(matches[m].length, reach);
    const std::size_t dist = matches[m].distance;
    // Of the lengths that only this match covers, the longest of each
    // command's range is worth the most, and the last few are where the
    // next searches start; the others seldom lie on the cheapest path.
    if (top >= len + kTail) {
      if (dist <= 1024 && len <= 10 && 10 < top - kTail) Relax(i, 10, dist, base, from);
      if (dist <= 16384 && len <= 67 && 67 < top - kTail) Relax(i, 67, dist, base, from);
      len = top - kTail;
    }
    RelaxRange(i, len, top, dist, base, from);
    len = top + 1;
  }
  return matches[count - 1].length;
}

// Takes the long match at node i, whatever the others offer, or one from
// the next few nodes that reaches farther for no more: a long repeat often
// starts a byte or two after the first long match shows up. Returns the node where
// the match ends, which becomes the end of the block: only the copy may
// reach it, so that the block's path surely contains it. The inner
// positions only feed the finder.
std::size_t OptimalParse::TakeLongMatch(std::size_t start, std::size_t i, std::size_t span, std::size_t longest) {
  std::size_t end = i + longest;
  std::size_t searched = i;
  Match matches[MatchFinder::kMaxMatches];
  for (std::size_t j = i + 1; j <= i + kLookAhead && j < end; ++j) {
    const std::uint8_t from = PriceLiteral(j);
    const std::size_t count = finder_->Find(start + j, matches);
    searched = j;
    if (count == 0) break;
    const std::size_t reach = j + PriceMatches(j, span, matches, count, from);
    if (reach <= end || reach > span || nodes_[reach].state[0].cost > nodes_[end].state[0].cost) break;
    end = reach;
  }
  for (std::size_t k = searched + 1; k < end; ++k) finder_->Insert(start + k);
  const State copy = nodes_[end].state[0];
  Clear(nodes_[end]);
  nodes_[end].state[0] = copy;
  return end;
}

// Prices the copies of lengths lo..hi from dist, one command's range at a time.
void OptimalParse::RelaxRange(std::size_t i, std::size_t lo, std::size_t hi, std::size_t dist, std::uint32_t base,
                              std::uint8_t from) {
  static constexpr struct {
    std::size_t shortest, longest, reach;
    std::uint32_t cost;
  } kCommands[] = {{3, 10, 1024, 2}, {4, 67, 16384, 3}, {5, kMaxLength, kWindow, 4}};
  for (const auto& command : kCommands) {
    if (dist > command.reach) continue;
    const std::uint32_t cost = base + command.cost;
    const std::size_t last = std::min(hi, command.longest);
    for (std::size_t len = std::max(lo, command.shortest); len <= last; ++len) {
      State& target = nodes_[i + len].state[0];
      if (cost < target.cost) Set(target, cost, len, dist, from);
    }
    lo = std::max(lo, command.longest + 1);
    if (lo > hi) return;
  }
}

void OptimalParse::Relax(std::size_t i, std::size_t len, std::size_t dist, std::uint32_t base, std::uint8_t from) {
  const std::uint32_t cost = CopyCost(len, dist);
  if (cost == kInfinite) return;
  State& target = nodes_[i + len].state[0];
  if (base + cost < target.cost) Set(target, base + cost, len, dist, from);
}

// Makes nodes up to index at usable.
void OptimalParse::Reach(std::size_t at) {
  while (filled_ < at) Clear(nodes_[++filled_]);
}

// Walks the chosen path back from end and writes its copies in order.
void OptimalParse::Emit(std::size_t start, std::size_t end) {
  steps_.clear();
  std::uint8_t k = 0;
  for (std::uint8_t j = 1; j < kStates; ++j) {
    if (nodes_[end].state[j].cost < nodes_[end].state[k].cost) k = j;
  }
  for (std::size_t at = end; at > 0;) {
    const State& st = nodes_[at].state[k];
    if (st.length == 0) {
      --at;
    } else {
      at -= st.length;
      steps_.push_back({static_cast<std::uint32_t>(at), st.length, st.distance});
    }
    k = st.prev;
  }
  for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) writer_->Copy(start + it->at, it->length, it->distance);
}

}  // namespace refpack::detail
