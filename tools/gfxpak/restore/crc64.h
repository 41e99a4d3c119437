// CRC-64 with the polynomial of the XZ format (ECMA-182, reflected), for the
// restore point's hashes of the original's pieces and of what gfxpak wrote.
// They guard against damage, not against forgery: a CRC catches every change
// of up to 64 bits in a row for certain and misses any other with a chance of
// one in 2^64, and runs several times faster than SHA-256, which decides the
// time of the first import and of -restore and -check on a large archive.
#pragma once

#include <cstdint>
#include <span>

namespace gfxpak {

// The CRC of data following the CRC crc of the bytes before it (0 for none),
// so that Crc64(Crc64(0, a), b) is the CRC of a and b together.
std::uint64_t Crc64(std::uint64_t crc, std::span<const std::uint8_t> data);

}  // namespace gfxpak
