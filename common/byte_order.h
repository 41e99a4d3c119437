// Fields of a fixed width and byte order in a byte buffer, read and written
// the same way on every host.
#pragma once

#include <cstddef>
#include <cstdint>

inline void PutLe(std::uint8_t* p, std::uint64_t v, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline std::uint64_t GetLe(const std::uint8_t* p, std::size_t bytes) {
  std::uint64_t v = 0;
  for (std::size_t i = bytes; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

// The 32-bit forms spelled out: gcc's overflow check misreads the loops
// when they write into the middle of a fixed array.
inline std::uint32_t GetLe32(const std::uint8_t* p) {
  return (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}
inline std::uint32_t GetBe32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
inline void PutLe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}
inline void PutBe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

// A field of a record laid out in a table: where it starts and how many
// bytes it takes.
struct Field {
  std::size_t pos;
  std::size_t width;
  constexpr std::size_t end() const { return pos + width; }
};
