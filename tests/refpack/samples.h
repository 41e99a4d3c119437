// Deterministic inputs for the codec's tests and benchmark: text, structured
// binary, a picture, a palettised texture, and data that does not compress.
#pragma once

#include <algorithm>
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

// An 8-bit palettised texture: grass stripes, rows of seats and a sky
// gradient with some noise, dithered by error diffusion onto a 3-3-2 colour
// cube. The dithering scatters short repeats at every distance, which is
// what makes such textures hard for a shallow match search.
inline Bytes Texture(std::size_t width, std::size_t height, std::uint64_t seed) {
  Rng rng(seed);
  static constexpr int kLevels[3] = {8, 8, 4};
  // Error carried to this row and the next one, per channel, with a pixel of
  // margin on each side.
  std::vector<int> row(3 * (width + 2)), below(3 * (width + 2));
  Bytes out;
  out.reserve(width * height);
  for (std::size_t y = 0; y < height; ++y) {
    for (std::size_t x = 0; x < width; ++x) {
      const int xi = static_cast<int>(x * 256 / width), yi = static_cast<int>(y * 256 / height);
      int rgb[3];
      switch ((y / 128 + x / 256) % 3) {
        case 0:  // grass, mown in stripes
          rgb[0] = 50 + xi / 8, rgb[1] = 120 + 40 * static_cast<int>((y / 32) % 2), rgb[2] = 40;
          break;
        case 1: {  // seats, four colours in a repeating pattern
          static constexpr int kSeat[4][3] = {{200, 30, 30}, {230, 230, 230}, {30, 30, 160}, {90, 90, 90}};
          const auto* c = kSeat[(x / 6 + y / 10) % 4];
          rgb[0] = c[0], rgb[1] = c[1], rgb[2] = c[2];
          break;
        }
        default:  // sky
          rgb[0] = xi / 2, rgb[1] = 100 + yi / 3, rgb[2] = 160 + yi / 4;
          break;
      }
      int index = 0;
      for (int c = 0; c < 3; ++c) {
        const std::size_t at = 3 * (x + 1) + static_cast<std::size_t>(c);
        const int v = std::clamp(rgb[c] + static_cast<int>(rng.Below(17)) - 8 + row[at] / 16, 0, 255);
        const int top = kLevels[c] - 1;
        const int level = (v * top + 127) / 255;
        const int e = v - level * 255 / top;
        row[at + 3] += 7 * e;
        below[at - 3] += 3 * e;
        below[at] += 5 * e;
        below[at + 3] += e;
        index = index * kLevels[c] + level;
      }
      out.push_back(static_cast<std::uint8_t>(index));
    }
    row.swap(below);
    std::fill(below.begin(), below.end(), 0);
  }
  return out;
}

}  // namespace refpack_test
