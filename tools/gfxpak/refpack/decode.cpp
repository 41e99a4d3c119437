#include "refpack/refpack.h"

#include <cstring>

namespace refpack {
namespace {

constexpr std::uint8_t kMagic = 0xFB;
constexpr std::uint8_t kWideSizes = 0x80;        // 4-byte size fields instead of 3-byte ones
constexpr std::uint8_t kCompressedSize = 0x01;  // a compressed-size field precedes the size

struct Header {
  std::size_t length = 0;  // bytes taken by the header
  std::uint64_t size = 0;  // declared uncompressed size
};

// Parses the header; on failure says why in *why.
bool ParseHeader(std::span<const std::uint8_t> in, Header& header, const char** why) {
  if (in.size() < 2) {
    *why = "too short for a RefPack header";
    return false;
  }
  const std::uint8_t flags = in[0];
  if (in[1] != kMagic || (flags & ~(kWideSizes | kCompressedSize)) != 0x10) {
    *why = "not a RefPack header (expected 10 FB, 11 FB, 90 FB or 91 FB)";
    return false;
  }
  const std::size_t field = (flags & kWideSizes) ? 4 : 3;
  const std::size_t fields = (flags & kCompressedSize) ? 2 : 1;
  header.length = 2 + field * fields;
  if (in.size() < header.length) {
    *why = "truncated header";
    return false;
  }
  std::uint64_t size = 0;
  for (std::size_t i = header.length - field; i < header.length; ++i) size = size << 8 | in[i];
  header.size = size;
  return true;
}

// Copies len bytes from dist back; the regions may overlap, and then each
// byte must see the ones just written (a run of one byte repeated, say).
inline void CopyMatch(std::uint8_t* dst, std::size_t dist, std::size_t len) {
  const std::uint8_t* src = dst - dist;
  if (dist >= len) {
    std::memcpy(dst, src, len);
  } else if (dist >= 8) {
    // Each 8-byte step reads only bytes that are already final.
    while (len >= 8) {
      std::memcpy(dst, src, 8);
      dst += 8;
      src += 8;
      len -= 8;
    }
    while (len-- > 0) *dst++ = *src++;
  } else {
    while (len-- > 0) *dst++ = *src++;
  }
}

bool Fail(std::string* error, const std::string& why) {
  if (error) *error = why;
  return false;
}

}  // namespace

std::optional<std::uint64_t> DeclaredSize(std::span<const std::uint8_t> input) {
  Header header;
  const char* why = nullptr;
  if (!ParseHeader(input, header, &why)) return std::nullopt;
  return header.size;
}

bool Decompress(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output,
                std::string* error) {
  output.clear();
  Header header;
  const char* why = nullptr;
  if (!ParseHeader(input, header, &why)) return Fail(error, why);
  // No command yields more than 257 output bytes per stream byte, so no honest
  // stream declares more than that per input byte; refusing such a size keeps
  // a forged header from making us allocate gigabytes.
  const std::uint64_t stream = input.size() - header.length;
  if (header.size > stream * 258) {
    return Fail(error, "declared size " + std::to_string(header.size) +
                           " is impossible for a stream of " + std::to_string(input.size()) +
                           " bytes");
  }
  output.resize(static_cast<std::size_t>(header.size));

  const std::uint8_t* in = input.data() + header.length;
  const std::uint8_t* const in_end = input.data() + input.size();
  std::uint8_t* const out_begin = output.data();
  std::uint8_t* out = out_begin;
  std::uint8_t* const out_end = out_begin + output.size();

  auto fail = [&](const char* what) {
    const auto at = static_cast<std::size_t>(in - input.data());
    output.clear();
    return Fail(error, std::string(what) + " at stream offset " + std::to_string(at));
  };

  for (;;) {
    if (in == in_end) return fail("truncated stream: no stop command");
    const std::uint8_t* const command = in;
    const std::uint8_t b0 = in[0];
    std::size_t literals;
    std::size_t length = 0;
    std::size_t distance = 0;
    if (b0 < 0x80) {
      if (in_end - in < 2) return fail("truncated 2-byte command");
      literals = b0 & 3u;
      length = ((b0 >> 2) & 7u) + 3;
      distance = ((b0 & 0x60u) << 3) + in[1] + 1;
      in += 2;
    } else if (b0 < 0xC0) {
      if (in_end - in < 3) return fail("truncated 3-byte command");
      literals = in[1] >> 6;
      length = (b0 & 0x3Fu) + 4;
      distance = ((in[1] & 0x3Fu) << 8) + in[2] + 1;
      in += 3;
    } else if (b0 < 0xE0) {
      if (in_end - in < 4) return fail("truncated 4-byte command");
      literals = b0 & 3u;
      length = ((b0 & 0x0Cu) << 6) + in[3] + 5;
      distance = ((b0 & 0x10u) << 12) + (static_cast<std::size_t>(in[1]) << 8) + in[2] + 1;
      in += 4;
    } else if (b0 < 0xFC) {
      literals = ((b0 & 0x1Fu) + 1) * 4;
      in += 1;
    } else {
      literals = b0 & 3u;
      in += 1;
    }

    if (static_cast<std::size_t>(in_end - in) < literals) {
      in = command;
      return fail("truncated literals");
    }
    if (static_cast<std::size_t>(out_end - out) < literals + length) {
      in = command;
      return fail("output over the declared size");
    }
    if (literals != 0) {  // out may be null while the output is empty
      std::memcpy(out, in, literals);
      in += literals;
      out += literals;
    }

    if (length != 0) {
      if (distance > static_cast<std::size_t>(out - out_begin)) {
        in = command;
        return fail("copy from before the start of the output");
      }
      CopyMatch(out, distance, length);
      out += length;
    } else if (b0 >= 0xFC) {
      break;
    }
  }

  if (out != out_end) {
    return fail("stop command before the declared size was reached");
  }
  if (in != in_end) {
    return fail("bytes after the stop command");
  }
  return true;
}

bool IsRefPack(std::span<const std::uint8_t> input) {
  std::vector<std::uint8_t> output;
  return Decompress(input, output, nullptr);
}

}  // namespace refpack
