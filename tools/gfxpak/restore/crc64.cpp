#include "crc64.h"

#include <array>
#include <cstring>

namespace gfxpak {

namespace {

constexpr std::uint64_t kPolynomial = 0xC96C5795D7870F42u;

// Eight tables, one per byte of a 64-bit word, so that a word is folded in
// with eight independent lookups instead of eight dependent ones.
using Tables = std::array<std::array<std::uint64_t, 256>, 8>;

constexpr Tables MakeTables() {
  Tables t{};
  for (std::size_t i = 0; i < 256; ++i) {
    std::uint64_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) != 0 ? (c >> 1) ^ kPolynomial : c >> 1;
    t[0][i] = c;
  }
  for (std::size_t i = 0; i < 256; ++i) {
    for (std::size_t k = 1; k < t.size(); ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][static_cast<std::size_t>(t[k - 1][i] & 0xFF)];
  }
  return t;
}

constexpr Tables kTables = MakeTables();

}  // namespace

std::uint64_t Crc64(std::uint64_t crc, std::span<const std::uint8_t> data) {
  crc = ~crc;
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
  for (; n >= 8; p += 8, n -= 8) {
    // Little-endian order, as the reflected CRC consumes the bytes.
    std::uint64_t word = 0;
    for (int b = 7; b >= 0; --b) word = (word << 8) | p[b];
    word ^= crc;
    const auto byte = [word](int k) { return static_cast<std::size_t>((word >> (8 * k)) & 0xFF); };
    crc = kTables[7][byte(0)] ^ kTables[6][byte(1)] ^ kTables[5][byte(2)] ^ kTables[4][byte(3)] ^
          kTables[3][byte(4)] ^ kTables[2][byte(5)] ^ kTables[1][byte(6)] ^ kTables[0][byte(7)];
  }
  for (; n > 0; ++p, --n) crc = kTables[0][static_cast<std::size_t>((crc ^ *p) & 0xFF)] ^ (crc >> 8);
  return ~crc;
}

}  // namespace gfxpak
