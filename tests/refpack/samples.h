// Deterministic inputs for the codec's tests and benchmark: text, structured
// binary, a picture, and data that does not compress.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace refpack_test {

// A small fixed generator so that a seed means the same bytes everywhere.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  std::uint64_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(Next() % n); }

 private:
  std::uint64_t state_;
};

using Bytes = std::vector<std::uint8_t>;

inline Bytes Random(std::size_t n, std::uint64_t seed) {
  Rng rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng.Next() >> 24);
  return out;
}

// Prose-like text: words drawn with a skewed frequency, sentences, line breaks.
inline Bytes Text(std::size_t n, std::uint64_t seed) {
  static constexpr std::array<const char*, 64> kWords = {
      "the",     "of",      "and",     "a",       "to",       "in",      "is",      "stadium",
      "match",   "player",  "team",    "goal",    "season",   "league",  "was",     "for",
      "on",      "with",    "as",      "by",      "at",       "from",    "his",     "that",
      "ground",  "crowd",   "stand",   "pitch",   "referee",  "minute",  "final",   "cup",
      "home",    "away",    "north",   "south",   "capacity", "built",   "opened",  "roof",
      "terrace", "record",  "city",    "club",    "supporters", "renovated", "seats", "floodlights",
      "which",   "after",   "before",  "during",  "were",     "their",   "first",   "second",
      "half",    "winter",  "summer",  "national", "european", "trophy", "draw",    "penalty"};
  Rng rng(seed);
  std::string s;
  s.reserve(n + 64);
  bool capital = true;
  std::size_t line = 0;
  while (s.size() < n) {
    // Squaring the draw favours the first words, as real text does.
    const std::uint32_t r = rng.Below(64 * 64);
    std::string w = kWords[(r / 64) * (r % 64) / 64];
    if (capital) w[0] = static_cast<char>(w[0] - 'a' + 'A');
    capital = false;
    s += w;
    line += w.size();
    const std::uint32_t p = rng.Below(16);
    if (p == 0) {
      s += ". ";
      capital = true;
    } else if (p == 1) {
      s += ", ";
    } else if (line > 70) {
      s += '\n';
      line = 0;
    } else {
      s += ' ';
    }
    if (rng.Below(40) == 0) s += std::to_string(1900 + rng.Below(104)) + " ";
  }
  s.resize(n);
  return Bytes(s.begin(), s.end());
}

// A mesh-like file: a table of fixed-size records whose fields change slowly,
// followed by 16-bit indices, as game model data is laid out.
inline Bytes Binary(std::size_t n, std::uint64_t seed) {
  Rng rng(seed);
  Bytes out = {'M', 'E', 'S', 'H', 1, 0, 0, 0};
  std::uint32_t i = 0;
  while (out.size() < n * 2 / 3) {
    const float v[8] = {static_cast<float>(i % 64) * 0.5f, static_cast<float>(i / 64) * 0.5f,
                        static_cast<float>(rng.Below(16)) * 0.125f, 0.0f, 1.0f, 0.0f,
                        static_cast<float>(i % 64) / 64.0f, static_cast<float>(i / 64) / 64.0f};
    std::uint8_t raw[sizeof v];
    std::memcpy(raw, v, sizeof v);
    out.insert(out.end(), raw, raw + sizeof raw);
    ++i;
  }
  for (std::uint32_t q = 0; out.size() < n; ++q) {
    const std::uint32_t base = q + q / 63;
    const std::uint32_t tri[6] = {base, base + 1, base + 64, base + 1, base + 65, base + 64};
    for (std::uint32_t t : tri) {
      out.push_back(static_cast<std::uint8_t>(t));
      out.push_back(static_cast<std::uint8_t>(t >> 8));
    }
  }
  out.resize(n);
  return out;
}

// A 24-bit picture: smooth gradients with a little noise and a few flat areas.
inline Bytes Picture(std::size_t width, std::size_t height, std::uint64_t seed) {
  Rng rng(seed);
  Bytes out;
  out.reserve(width * height * 3);
  for (std::size_t y = 0; y < height; ++y) {
    for (std::size_t x = 0; x < width; ++x) {
      const bool flat = (x / 64 + y / 64) % 5 == 0;
      const std::uint32_t noise = flat ? 0 : rng.Below(4);
      out.push_back(static_cast<std::uint8_t>(flat ? 40 : (x + noise) & 0xFF));
      out.push_back(static_cast<std::uint8_t>(flat ? 120 : (y + noise) & 0xFF));
      out.push_back(static_cast<std::uint8_t>(flat ? 40 : ((x + y) / 2 + noise) & 0xFF));
    }
  }
  return out;
}

}  // namespace refpack_test
