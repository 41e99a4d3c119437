// The encoder: hash chains over the whole copy window, and a shortest-path
// parse that prices every command by its real size in the stream.
#include <algorithm>
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

constexpr unsigned kHashBits = 16;
// How many older positions a search visits: the ratio gained past this is
// small next to the time the longer walk costs on repetitive data.
constexpr unsigned kChainDepth = 96;
// A match this long is taken at once instead of being weighed against its
// neighbours; a run of equal bytes would otherwise cost a parse step per byte.
constexpr std::size_t kNiceLength = 192;
// Positions parsed together before the cheapest path through them is emitted.
constexpr std::size_t kBlock = 16384;

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

inline std::uint32_t Hash3(const std::uint8_t* p) {
  const std::uint32_t v = (Load32(p) & 0xFFFFFFu) * 2654435761u;
  return v >> (32 - kHashBits);
}

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
      : data_(data), head_(std::size_t{1} << kHashBits, 0), prev_(kWindow, 0) {}

  void Insert(std::size_t pos) {
    if (pos + 4 > data_.size()) return;  // Hash3 reads four bytes
    const std::uint32_t h = Hash3(data_.data() + pos);
    prev_[pos & (kWindow - 1)] = head_[h];
    head_[h] = static_cast<std::uint32_t>(pos + 1);
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
    std::uint32_t candidate = head_[Hash3(here)];
    for (unsigned depth = 0; candidate != 0 && depth < kChainDepth; ++depth) {
      const std::size_t from = candidate - 1;
      const std::size_t dist = pos - from;
      if (dist > kWindow) break;
      const std::uint8_t* const there = data_.data() + from;
      if (there[best] == here[best]) {
        const std::size_t len = MatchLength(there, here, limit);
        if (len > best && CopyCost(len, dist) != kInfinite) {
          best = len;
          out[count++] = {static_cast<std::uint32_t>(len), static_cast<std::uint32_t>(dist)};
          if (len >= kNiceLength || len == limit) break;
        }
      }
      const std::uint32_t next = prev_[from & (kWindow - 1)];
      if (next >= candidate) break;  // the slot was reused by a newer position
      candidate = next;
    }
    Insert(pos);
    return count;
  }

 private:
  std::span<const std::uint8_t> data_;
  std::vector<std::uint32_t> head_;
  std::vector<std::uint32_t> prev_;
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

// One position of the parse: the cheapest known way to reach it.
struct Node {
  std::uint32_t cost;
  std::uint32_t run;       // literals at the end of that path since its last copy
  std::uint32_t length;    // the step that reached it: 0 for a literal
  std::uint32_t distance;
};

class Parser {
 public:
  explicit Parser(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out)
      : input_(input), finder_(input), writer_(input, out), nodes_(kBlock + kMaxLength + 1) {}

  void Run() {
    std::size_t pos = 0;
    while (pos < input_.size()) pos = ParseBlock(pos);
    writer_.Stop();
  }

 private:
  // Finds the cheapest path from start over at most kBlock positions, emits
  // its copies and returns where it ended; the literals after its last copy
  // stay pending and are priced on into the next block.
  std::size_t ParseBlock(std::size_t start) {
    const std::size_t span = std::min(kBlock, input_.size() - start);
    std::fill(nodes_.begin(), nodes_.begin() + static_cast<std::ptrdiff_t>(span + 1),
              Node{kInfinite, 0, 0, 0});
    nodes_[0] = {0, static_cast<std::uint32_t>(start - writer_.literal_start()), 0, 0};

    std::size_t end = span;
    Match matches[kChainDepth];
    for (std::size_t i = 0; i < span; ++i) {
      const Node& here = nodes_[i];
      Relax(i + 1, here.cost + LiteralCost(here.run), here.run + 1, 0, 0);

      const std::size_t count = finder_.Find(start + i, matches);
      if (count == 0) continue;
      const std::size_t reach = std::min(span - i, kMaxLength);
      std::size_t len = kMinLength;
      for (std::size_t m = 0; m < count && len <= reach; ++m) {
        const std::size_t top = std::min<std::size_t>(matches[m].length, reach);
        const std::size_t dist = matches[m].distance;
        for (; len <= top; ++len) {
          const std::uint32_t cost = CopyCost(len, dist);
          if (cost != kInfinite) Relax(i + len, here.cost + cost, 0, len, dist);
        }
      }
      const std::size_t longest = matches[count - 1].length;
      if (longest >= kNiceLength && longest <= span - i) {
        // Take the long match as it is; its inner positions only feed the chains.
        Relax(i + longest, here.cost + CopyCost(longest, matches[count - 1].distance), 0,
              longest, matches[count - 1].distance);
        for (std::size_t k = 1; k < longest; ++k) finder_.Insert(start + i + k);
        end = i + longest;
        break;
      }
    }
    Emit(start, end);
    return start + end;
  }

  void Relax(std::size_t at, std::uint32_t cost, std::size_t run, std::size_t length,
             std::size_t distance) {
    Node& n = nodes_[at];
    if (cost < n.cost) {
      n = {cost, static_cast<std::uint32_t>(run), static_cast<std::uint32_t>(length),
           static_cast<std::uint32_t>(distance)};
    }
  }

  // Walks the chosen path back from end and writes its copies in order.
  void Emit(std::size_t start, std::size_t end) {
    steps_.clear();
    for (std::size_t at = end; at > 0;) {
      const Node& n = nodes_[at];
      if (n.length == 0) {
        --at;
      } else {
        at -= n.length;
        steps_.push_back({static_cast<std::uint32_t>(at), n.length, n.distance});
      }
    }
    for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) {
      writer_.Copy(start + it->at, it->length, it->distance);
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
  std::vector<Node> nodes_;
  std::vector<Step> steps_;
};

}  // namespace

std::vector<std::uint8_t> Compress(std::span<const std::uint8_t> input) {
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
