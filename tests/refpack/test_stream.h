// Writes a RefPack stream for the test encoders (the greedy yardstick and the
// classic reference), independently of the library, so that their output
// also exercises the decoder: the header, copies with the literals before
// them, and the stop command.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace refpack_test {

class TestStream {
 public:
  explicit TestStream(std::span<const std::uint8_t> in) : in_(in) {
    const std::size_t n = in.size();
    const bool wide = n > 0xFFFFFF;
    Put(wide ? 0x90 : 0x10);
    Put(0xFB);
    for (int shift = wide ? 24 : 16; shift >= 0; shift -= 8) Put((static_cast<std::uint64_t>(n) >> shift) & 0xFF);
  }

  // True when some command can copy len bytes from dist back.
  static bool Expressible(std::size_t len, std::size_t dist) {
    return (len >= 3 && len <= 10 && dist <= 1024) || (len >= 4 && len <= 67 && dist <= 16384) ||
           (len >= 5 && len <= 1028 && dist <= 131072);
  }

  // Bytes of the command that copies len bytes from dist back (the smallest
  // that can), 0 when none can.
  static std::size_t CommandBytes(std::size_t len, std::size_t dist) {
    if (len >= 3 && len <= 10 && dist <= 1024) return 2;
    if (len >= 4 && len <= 67 && dist <= 16384) return 3;
    if (len >= 5 && len <= 1028 && dist <= 131072) return 4;
    return 0;
  }

  // The literals from the end of the last copy up to pos, then the copy.
  void Copy(std::size_t pos, std::size_t len, std::size_t dist) {
    const std::size_t lits = FlushLiterals(pos);
    const std::size_t d = dist - 1;
    switch (CommandBytes(len, dist)) {
      case 2:
        Put(((d >> 8) << 5) | ((len - 3) << 2) | lits);
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
    PutInput(pos - lits, pos);
    lit_start_ = pos + len;
  }

  std::vector<std::uint8_t> Finish() {
    const std::size_t lits = FlushLiterals(in_.size());
    Put(0xFC | lits);
    PutInput(in_.size() - lits, in_.size());
    return std::move(out_);
  }

 private:
  // Writes all but the last 0..3 literals before pos as literal commands and
  // returns how many are left for the next command to carry.
  std::size_t FlushLiterals(std::size_t pos) {
    while (pos - lit_start_ >= 4) {
      const std::size_t chunk = std::min<std::size_t>(112, (pos - lit_start_) / 4 * 4);
      Put(0xE0 + chunk / 4 - 1);
      PutInput(lit_start_, lit_start_ + chunk);
      lit_start_ += chunk;
    }
    return pos - lit_start_;
  }

  void Put(std::size_t b) { out_.push_back(static_cast<std::uint8_t>(b)); }

  void PutInput(std::size_t from, std::size_t to) {
    out_.insert(out_.end(), in_.begin() + static_cast<std::ptrdiff_t>(from),
                in_.begin() + static_cast<std::ptrdiff_t>(to));
  }

  std::span<const std::uint8_t> in_;
  std::vector<std::uint8_t> out_;
  std::size_t lit_start_ = 0;
};

struct TestMatch {
  std::size_t length = 0;  // 0 for none
  std::size_t distance = 0;
};

// The loop of the greedy test encoders: at each position the match that
// choose(pos) returns, else a literal. Every position goes to insert once,
// in order, after the search at it.
template <typename Choose, typename Insert>
std::vector<std::uint8_t> GreedyParse(std::span<const std::uint8_t> in, Choose choose, Insert insert) {
  TestStream stream(in);
  for (std::size_t pos = 0; pos < in.size();) {
    const TestMatch m = pos + 3 <= in.size() ? choose(pos) : TestMatch{};
    if (m.length == 0) {
      insert(pos);
      ++pos;
      continue;
    }
    stream.Copy(pos, m.length, m.distance);
    for (std::size_t k = 0; k < m.length; ++k) insert(pos + k);
    pos += m.length;
  }
  return stream.Finish();
}

}  // namespace refpack_test
