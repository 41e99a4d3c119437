// The encoder: hash chains over the whole copy window, and a parse that
// prices every command by its real size in the stream: a shortest-path
// parse for small inputs, a lazy one for the rest.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "refpack/refpack.h"

namespace refpack {
namespace {

constexpr std::size_t kWindow = 131072;  // the farthest a 4-byte command can reach
constexpr std::size_t kMinLength = 3;
constexpr std::size_t kMaxLength = 1028;
constexpr std::size_t kMaxLiteralRun = 112;  // the longest 1-byte literal command

// Table sizes for large inputs; small inputs get smaller tables, so that
// compressing a short file does not cost clearing megabytes. Over 16 bits,
// 18 shortened the chains enough to make pictures, random and packed data
// a fifth to a quarter faster, for under 3% on text.
constexpr unsigned kHashBits = 18;
// How many older positions a search visits. On the benchmark's text, going
// from 8 to 16 saved under 3% of the output and cost over a third of the speed.
constexpr unsigned kChainDepth = 8;
// A match this long is taken at once instead of being weighed against its
// neighbours; a run of equal bytes would otherwise cost a parse step per byte.
constexpr std::size_t kNiceLength = 64;
// Inside a match at least this long the parser does not search again until
// its last kSkipLength / 2 bytes: a match starting in the middle of another
// seldom pays, and on structured binary data skipping those searches made
// the encoder about half again as fast for a fraction of a percent of size.
constexpr std::size_t kSkipLength = 16;
// After this many positions in a row where the search found nothing, the
// parser hands over to a plain scan for the next match.
constexpr std::size_t kMissesBeforeScan = 8;
// Lengths of a match within this many of its longest are all priced.
constexpr std::size_t kTail = 16;
// Inputs up to this size get the optimal parse, larger ones the lazy one.
// The optimal parse searches at every position and prices each match at
// many lengths: on text it was four times slower than the lazy parse, for
// 7% less output. On pictures and other data with short matches the lazy
// parse lost a little to a deep greedy search (0.06% on a 256x256 picture),
// which a file this small can afford to avoid.
constexpr std::size_t kOptimalUpTo = 256 << 10;
// The lazy parse takes a match this long without looking a byte further:
// on the benchmark's mesh that saved a tenth of the time, and the output
// even shrank a little.
constexpr std::size_t kGoodLength = 16;
// Positions parsed together before the cheapest path through them is emitted.
constexpr std::size_t kBlock = 4096;

// How many distances of recent matches each search tries besides the chains.
constexpr std::size_t kRecentDistances = 4;

constexpr std::uint32_t kInfinite = std::numeric_limits<std::uint32_t>::max();

// Stream bytes of a copy command of length len from distance dist, the up to
// three literals that ride in it included elsewhere; kInfinite when no command
// can express it. The 2-byte form reaches 1024 back for 3..10 bytes, the
// 3-byte form 16384 back for 4..67, the 4-byte form 131072 back for 5..1028.
inline std::uint32_t CopyCost(std::size_t len, std::size_t dist) {
  if (len <= 10 && dist <= 1024) return 2;
  if (len >= 4 && len <= 67 && dist <= 16384) return 3;
  if (len >= 5 && dist <= kWindow) return 4;
  return kInfinite;
}

// What one more literal costs when the run so far holds run literals: the
// byte itself, plus a 1-byte literal command each time the run starts a new
// 112-byte block (runs of 0..3 ride in the next copy or in the stop command).
inline std::uint32_t LiteralCost(std::size_t run) {
  return (run + 1) % kMaxLiteralRun == 4 ? 2 : 1;
}

inline std::uint32_t Load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline std::uint32_t Hash4(const std::uint8_t* p, unsigned bits) {
  return (Load32(p) * 2654435761u) >> (32 - bits);
}

inline std::uint32_t Hash3(const std::uint8_t* p, unsigned bits) {
  return ((Load32(p) & 0xFFFFFFu) * 2654435761u) >> (32 - bits);
}

// The smallest power of two at least n, and at least 1024, at most limit.
inline std::size_t TableSize(std::size_t n, std::size_t limit) {
  std::size_t size = 1024;
  while (size < n && size < limit) size *= 2;
  return size;
}

inline unsigned Log2(std::size_t power_of_two) {
  return static_cast<unsigned>(__builtin_ctzll(power_of_two));
}

static_assert(std::endian::native == std::endian::little, "MatchLength counts bytes from the low end");

// Length of the common prefix of a and b, at most limit; a lies before b.
inline std::size_t MatchLength(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit) {
  std::size_t n = 0;
  while (n + 8 <= limit) {
    std::uint64_t x, y;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (x != y) return n + static_cast<std::size_t>(__builtin_ctzll(x ^ y) >> 3);
    n += 8;
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

struct Match {
  std::uint32_t length;
  std::uint32_t distance;
};

// Hash chains over the last kWindow positions. Positions are stored plus one
// so that zero means "none".
class MatchFinder {
 public:
  explicit MatchFinder(std::span<const std::uint8_t> data)
      : data_(data),
        bits_(Log2(TableSize(data.size(), std::size_t{1} << kHashBits))),
        head_(std::size_t{1} << bits_, 0),
        short_head_(std::size_t{1} << bits_, 0),
        prev_(TableSize(data.size(), kWindow), 0),
        mask_(prev_.size() - 1) {}

  // Positions go in once each and in order, so that a chain only ever leads
  // to older positions.
  void Insert(std::size_t pos) {
    if (pos < next_ || pos + 4 > data_.size()) return;  // the hashes read four bytes
    next_ = pos + 1;
    const std::uint32_t h = Hash4(data_.data() + pos, bits_);
    prev_[pos & mask_] = head_[h];
    head_[h] = static_cast<std::uint32_t>(pos + 1);
    short_head_[Hash3(data_.data() + pos, bits_)] = static_cast<std::uint32_t>(pos + 1);
  }

  // Moves on from pos, inserting as it goes, to the first position where
  // the newest position with the same 3 or 4 bytes holds a match, and
  // returns it (not inserted), or the end of the input. Walking no chain
  // and pricing nothing, this is several times cheaper per byte than a
  // parse step, which incompressible data does not repay.
  std::size_t Scan(std::size_t pos) {
    // Locals, because the compiler cannot tell the tables from the input
    // and would reload every field after each store.
    const std::uint8_t* const base = data_.data();
    const std::size_t size = data_.size();
    std::uint32_t* const head = head_.data();
    std::uint32_t* const short_head = short_head_.data();
    std::uint32_t* const prev = prev_.data();
    const std::size_t mask = mask_;
    const unsigned bits = bits_;
    const std::uint32_t r0 = recent_[0], r1 = recent_[1], r2 = recent_[2], r3 = recent_[3];
    static_assert(kRecentDistances == 4);
    for (; pos + 4 <= size; ++pos) {
      const std::uint32_t word = Load32(base + pos);
      const std::uint32_t h = Hash4(base + pos, bits);
      const std::uint32_t h3 = Hash3(base + pos, bits);
      const std::uint32_t far = head[h];
      const std::uint32_t near = short_head[h3];
      for (std::uint32_t c = far, depth = 0; c != 0 && pos - c < kWindow && depth < kChainDepth; ++depth) {
        if (Load32(base + c - 1) == word && (pos - c < 16384 || base[c + 3] == base[pos + 4])) {
          next_ = pos;
          return pos;
        }
        const std::uint32_t next = prev[(c - 1) & mask];
        if (next >= c) break;
        c = next;
      }
      // The distances are never 0 and, with pos past the first few bytes, never beyond pos.
      if ((near != 0 && pos - near < 1024 && ((Load32(base + near - 1) ^ word) & 0xFFFFFFu) == 0) |
          (Load32(base + pos - r0) == word) | (Load32(base + pos - r1) == word) |
          (Load32(base + pos - r2) == word) | (Load32(base + pos - r3) == word)) {
        next_ = pos;
        return pos;
      }
      prev[pos & mask] = far;
      head[h] = static_cast<std::uint32_t>(pos + 1);
      short_head[h3] = static_cast<std::uint32_t>(pos + 1);
    }
    next_ = pos;
    return size;
  }

  // Fills out with the matches at pos that some command can express, in order
  // of growing length and distance: each is the nearest one of its length.
  // Inserts pos. Returns the number of matches.
  std::size_t Find(std::size_t pos, Match* out) {
    const std::size_t limit = std::min(kMaxLength, data_.size() - pos);
    std::size_t count = 0;
    if (limit < kMinLength || pos + 4 > data_.size()) {
      Insert(pos);
      return 0;
    }
    const std::uint8_t* const here = data_.data() + pos;
    std::size_t best = kMinLength - 1;
    // The chains hold 4-byte contexts; 3-byte matches, which only the 2-byte
    // command can use, come from the last position with the same 3 bytes.
    // Stored positions are one ahead, so pos - stored is the distance minus one.
    if (const std::uint32_t near = short_head_[Hash3(here, bits_)]; near != 0 && pos - near < 1024) {
      const std::size_t from = near - 1;
      const std::size_t len = MatchLength(data_.data() + from, here, std::min<std::size_t>(limit, 4));
      if (len >= kMinLength) {
        best = len;
        out[count++] = {static_cast<std::uint32_t>(len), static_cast<std::uint32_t>(pos - from)};
      }
    }
    // Stored positions below lowest lie beyond the window, and zero is below it too.
    const std::size_t lowest = pos >= kWindow ? pos + 1 - kWindow : 1;
    const std::uint8_t* const base = data_.data();
    const std::uint32_t* const prev = prev_.data();
    const std::size_t mask = mask_;
    std::uint32_t candidate = head_[Hash4(here, bits_)];
    // best may already be the whole rest of the input, and then here[best]
    // lies past its end.
    for (unsigned depth = best < limit ? kChainDepth : 0; depth != 0 && candidate >= lowest; --depth) {
      const std::size_t from = candidate - 1;
      const std::uint8_t* const there = base + from;
      if (there[best] == here[best]) {
        const std::size_t len = MatchLength(there, here, limit);
        const std::size_t dist = pos - from;
        if (len > best && CopyCost(len, dist) != kInfinite) {
          best = len;
          out[count++] = {static_cast<std::uint32_t>(len), static_cast<std::uint32_t>(dist)};
          if (len >= kNiceLength || len == limit) break;
        }
      }
      const std::uint32_t next = prev[from & mask];
      if (next >= candidate) break;  // the slot was reused by a newer position
      candidate = next;
    }
    if (best < kNiceLength && best < limit) count = TryRecent(pos, limit, out, count);
    if (count > 0) Remember(out[count - 1].distance);
    Insert(pos);
    return count;
  }

 private:
  // Structured data (pictures, tables of records) repeats at a few fixed
  // distances, a row or a record apart, whose matches often lie deeper in
  // the chains than the search goes. Trying the distances of the latest
  // matches costs a few comparisons of bytes that are in the cache anyway.
  std::size_t TryRecent(std::size_t pos, std::size_t limit, Match* out, std::size_t count) {
    const std::uint8_t* const here = data_.data() + pos;
    const std::uint32_t word = Load32(here) & 0xFFFFFFu;
    for (const std::uint32_t dist : recent_) {
      if (dist > pos || (Load32(here - dist) & 0xFFFFFFu) != word) continue;
      // Keep the list a staircase: growing distance and growing length. The
      // chains have often found this distance already.
      std::size_t at = 0;
      while (at < count && out[at].distance < dist) ++at;
      if (at < count && out[at].distance == dist) continue;
      const std::size_t len = MatchLength(here - dist, here, limit);
      if (len < kMinLength || CopyCost(len, dist) == kInfinite) continue;
      if (at > 0 && out[at - 1].length >= len) continue;
      std::size_t end = at;
      while (end < count && out[end].length <= len) ++end;
      const std::size_t removed = end - at;
      if (removed == 0) {
        for (std::size_t k = count; k > at; --k) out[k] = out[k - 1];
        ++count;
      } else {
        for (std::size_t k = end; k < count; ++k) out[k - removed + 1] = out[k];
        count -= removed - 1;
      }
      out[at] = {static_cast<std::uint32_t>(len), dist};
    }
    return count;
  }

  void Remember(std::uint32_t dist) {
    for (const std::uint32_t d : recent_) {
      if (d == dist) return;
    }
    for (std::size_t k = recent_.size() - 1; k > 0; --k) recent_[k] = recent_[k - 1];
    recent_[0] = dist;
  }

  std::span<const std::uint8_t> data_;
  std::array<std::uint32_t, kRecentDistances> recent_{1, 2, 3, 4};
  unsigned bits_;
  std::vector<std::uint32_t> head_;
  std::vector<std::uint32_t> short_head_;
  std::vector<std::uint32_t> prev_;  // as long as the window, or the whole input if shorter
  std::size_t mask_;
  std::size_t next_ = 0;  // the first position not yet inserted
};

class Writer {
 public:
  Writer(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out)
      : input_(input), out_(out) {}

  // Emits the literals since the last copy, all but the last 0..3 as 1-byte
  // literal commands, and then a copy command that carries those 0..3.
  void Copy(std::size_t pos, std::size_t len, std::size_t dist) {
    const std::size_t lits = FlushLongLiterals(pos);
    const std::size_t d = dist - 1;
    switch (CopyCost(len, dist)) {
      case 2:
        Put(((d >> 3) & 0x60) | ((len - 3) << 2) | lits);
        Put(d & 0xFF);
        break;
      case 3:
        Put(0x80 | (len - 4));
        Put((lits << 6) | (d >> 8));
        Put(d & 0xFF);
        break;
      default:
        Put(0xC0 | ((d >> 16) << 4) | (((len - 5) >> 8) << 2) | lits);
        Put((d >> 8) & 0xFF);
        Put(d & 0xFF);
        Put((len - 5) & 0xFF);
        break;
    }
    PutLiterals(pos - lits, lits);
    literal_start_ = pos + len;
  }

  // The stop command carries the last 0..3 literals.
  void Stop() {
    const std::size_t lits = FlushLongLiterals(input_.size());
    Put(0xFC | lits);
    PutLiterals(input_.size() - lits, lits);
  }

  std::size_t literal_start() const { return literal_start_; }

 private:
  std::size_t FlushLongLiterals(std::size_t pos) {
    std::size_t run = pos - literal_start_;
    while (run >= 4) {
      const std::size_t chunk = std::min(kMaxLiteralRun, run & ~std::size_t{3});
      Put(0xE0 | (chunk / 4 - 1));
      PutLiterals(literal_start_, chunk);
      literal_start_ += chunk;
      run -= chunk;
    }
    return run;
  }

  void Put(std::size_t byte) { out_.push_back(static_cast<std::uint8_t>(byte)); }

  void PutLiterals(std::size_t from, std::size_t n) {
    const auto begin = input_.begin() + static_cast<std::ptrdiff_t>(from);
    out_.insert(out_.end(), begin, begin + static_cast<std::ptrdiff_t>(n));
  }

  std::span<const std::uint8_t> input_;
  std::vector<std::uint8_t>& out_;
  std::size_t literal_start_ = 0;
};

// The parse keeps, for every position, the cheapest way to reach it in each
// of five states: the path ends in a run of exactly 0, 1, 2 or 3 literals, or
// in a longer run. The states matter because a run of 0..3 literals rides
// free in the next command while the fourth literal costs a 1-byte literal
// command: a copy that breaks a long run of literals can cost more than it
// saves, which a single cheapest-cost-per-position parse cannot see.
constexpr std::size_t kLongRun = 4;
constexpr std::size_t kStates = 5;

struct State {
  std::uint32_t cost;
  std::uint32_t distance;
  std::uint16_t length;  // the step that reached this state: 0 for a literal
  std::uint8_t prev;     // the state it came from at the step's start
};

struct Node {
  State state[kStates];
  std::uint32_t long_run;  // the length of the run of the long-run state
};

class Parser {
 public:
  explicit Parser(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out)
      : input_(input),
        finder_(input),
        writer_(input, out),
        optimal_(input.size() <= kOptimalUpTo),
        nodes_(optimal_ ? std::min(kBlock, input.size()) + kMaxLength + 1 : 0) {}

  void Run() {
    std::size_t pos = 0;
    while (pos < input_.size()) {
      pos = optimal_ ? ParseBlock(pos) : LazyBlock(pos);
      if (scan_) pos = finder_.Scan(pos);
    }
    writer_.Stop();
  }

 private:
  // Parses from start, a lazy parse: the best match at a position is weighed
  // against the best one a byte later, by the bytes each saves, before it is
  // taken. Returns where it stopped, the first position past kBlock that
  // no copy covers, or where the data stopped matching.
  std::size_t LazyBlock(std::size_t start) {
    const std::size_t n = input_.size();
    const std::size_t stop = start + std::min(kBlock, n - start);
    std::size_t pos = start;
    std::size_t misses = 0;
    scan_ = false;
    while (pos < stop) {
      Match cur;
      if (!Best(pos, cur)) {
        ++pos;
        if (++misses >= kMissesBeforeScan) {
          scan_ = true;
          break;
        }
        continue;
      }
      misses = 0;
      while (cur.length < kGoodLength && pos + 1 < n) {
        Match next;
        if (!Best(pos + 1, next)) break;
        const std::size_t run = pos - writer_.literal_start();
        if (Gain(next) + 1 - static_cast<int>(LiteralCost(run)) <= Gain(cur)) break;
        ++pos;
        cur = next;
      }
      Copy(pos, cur.length, cur.distance);
      for (std::size_t k = 1; k < cur.length; ++k) finder_.Insert(pos + k);
      pos += cur.length;
    }
    return pos;
  }

  // Bytes a copy saves over spelling its bytes out as literals.
  static int Gain(const Match& m) {
    return static_cast<int>(m.length) - static_cast<int>(CopyCost(m.length, m.distance));
  }

  // The match at pos that saves the most bytes; false when there is none.
  bool Best(std::size_t pos, Match& best) {
    const std::size_t count = finder_.Find(pos, lazy_matches_);
    if (count == 0) return false;
    best = lazy_matches_[0];
    for (std::size_t m = 1; m < count; ++m) {
      if (Gain(lazy_matches_[m]) >= Gain(best)) best = lazy_matches_[m];
    }
    return true;
  }

  void Copy(std::size_t pos, std::size_t len, std::size_t dist) { writer_.Copy(pos, len, dist); }

  // Finds the cheapest path from start over at most kBlock positions, emits
  // its copies and returns where it ended; the literals after its last copy
  // stay pending and are priced on into the next block.
  std::size_t ParseBlock(std::size_t start) {
    const std::size_t span = std::min(kBlock, input_.size() - start);
    filled_ = 0;
    Clear(nodes_[0]);
    const std::size_t pending = start - writer_.literal_start();
    if (pending < kLongRun) {
      nodes_[0].state[pending].cost = 0;
    } else {
      nodes_[0].state[kLongRun].cost = 0;
      nodes_[0].long_run = static_cast<std::uint32_t>(pending);
    }

    std::size_t end = span;
    Match matches[kChainDepth + 1 + kRecentDistances];
    std::size_t skip_until = 0;
    std::size_t misses = 0;
    std::size_t copy_reach = 0;  // the farthest node a copy reaches
    scan_ = false;
    for (std::size_t i = 0; i < span; ++i) {
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
        } else {
          const std::size_t run = k == kLongRun ? here.long_run : kLongRun - 1;
          const std::uint32_t cost = c + LiteralCost(run);
          if (cost < next.state[kLongRun].cost) {
            Set(next.state[kLongRun], cost, 0, 0, k);
            next.long_run = static_cast<std::uint32_t>(run + 1);
          }
        }
      }
      const std::uint32_t base = here.state[best].cost;

      if (i < skip_until) {
        finder_.Insert(start + i);
        continue;
      }
      const std::size_t count = finder_.Find(start + i, matches);
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
      const std::size_t reach = std::min(span - i, kMaxLength);
      const std::size_t longest_reach = std::min<std::size_t>(matches[count - 1].length, reach);
      Reach(i + longest_reach);
      copy_reach = std::max(copy_reach, i + longest_reach);
      std::size_t len = kMinLength;
      for (std::size_t m = 0; m < count && len <= reach; ++m) {
        const std::size_t top = std::min<std::size_t>(matches[m].length, reach);
        const std::size_t dist = matches[m].distance;
        // Of the lengths that only this match covers, the longest of each
        // command's range is worth the most, and the last few are where the
        // next searches start; the others seldom lie on the cheapest path.
        if (top >= len + kTail) {
          if (dist <= 1024 && len <= 10 && 10 < top - kTail) Relax(i, 10, dist, base, best);
          if (dist <= 16384 && len <= 67 && 67 < top - kTail) Relax(i, 67, dist, base, best);
          len = top - kTail;
        }
        RelaxRange(i, len, top, dist, base, best);
        len = top + 1;
      }
      const std::size_t longest = matches[count - 1].length;
      if (longest >= kSkipLength) skip_until = i + longest - kSkipLength / 2;
      if (longest >= kNiceLength && longest <= span - i) {
        // Take the long match as it is; its inner positions only feed the chains.
        for (std::size_t k = 1; k < longest; ++k) finder_.Insert(start + i + k);
        end = i + longest;
        // Only the copy may end the block here, so that the block's path
        // surely contains it.
        State copy = nodes_[end].state[0];
        Clear(nodes_[end]);
        nodes_[end].state[0] = copy;
        break;
      }
    }
    Emit(start, end);
    return start + end;
  }

  // Prices the copies of lengths lo..hi from dist, one command's range at a time.
  void RelaxRange(std::size_t i, std::size_t lo, std::size_t hi, std::size_t dist, std::uint32_t base,
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

  void Relax(std::size_t i, std::size_t len, std::size_t dist, std::uint32_t base, std::uint8_t from) {
    const std::uint32_t cost = CopyCost(len, dist);
    if (cost == kInfinite) return;
    State& target = nodes_[i + len].state[0];
    if (base + cost < target.cost) Set(target, base + cost, len, dist, from);
  }

  static void Clear(Node& n) {
    // The other fields of a state are read only once its cost is finite.
    for (State& st : n.state) st.cost = kInfinite;
  }

  // Makes nodes up to index at usable.
  void Reach(std::size_t at) {
    while (filled_ < at) Clear(nodes_[++filled_]);
  }

  static void Set(State& st, std::uint32_t cost, std::size_t length, std::size_t distance,
                  std::uint8_t prev) {
    st = {cost, static_cast<std::uint32_t>(distance), static_cast<std::uint16_t>(length), prev};
  }

  // Walks the chosen path back from end and writes its copies in order.
  void Emit(std::size_t start, std::size_t end) {
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
    for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) {
      Copy(start + it->at, it->length, it->distance);
    }
  }

  struct Step {
    std::uint32_t at;
    std::uint32_t length;
    std::uint32_t distance;
  };

  std::span<const std::uint8_t> input_;
  MatchFinder finder_;
  Writer writer_;
  bool optimal_;
  std::vector<Node> nodes_;
  std::size_t filled_ = 0;
  std::vector<Step> steps_;
  bool scan_ = false;  // the last block ended in data where nothing matched
  Match lazy_matches_[kChainDepth + 1 + kRecentDistances];
};

}  // namespace

std::vector<std::uint8_t> Compress(std::span<const std::uint8_t> input, const CompressOptions&) {
  if (input.size() > kMaxInputSize) throw std::length_error("RefPack input over 4 GiB");
  std::vector<std::uint8_t> out;
  out.reserve(input.size() + input.size() / 100 + 16);
  const bool wide = input.size() > kMaxSmallSize;
  out.push_back(wide ? 0x90 : 0x10);
  out.push_back(0xFB);
  const auto size = static_cast<std::uint64_t>(input.size());
  for (int shift = wide ? 24 : 16; shift >= 0; shift -= 8) {
    out.push_back(static_cast<std::uint8_t>(size >> shift));
  }
  Parser(input, out).Run();
  return out;
}

}  // namespace refpack
