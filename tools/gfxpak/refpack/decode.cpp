#include "refpack/refpack.h"

#include <cstring>

#include "refpack/commands.h"

namespace refpack {
namespace {

using namespace detail;

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
  if (in[1] != kMagic || (flags & ~(kWideSizes | kCompressedSize)) != kFlags) {
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

// One command's fields.
struct Command {
  std::size_t bytes = 0;  // of the command itself
  std::size_t literals = 0;
  std::size_t length = 0;  // of the copy, 0 for none
  std::size_t distance = 0;
  bool stop = false;
};

// Reads the command at in, of which avail (at least 1) bytes are there;
// returns what is wrong, or null. The copy forms' bits are placed as
// FORMATS.md shows them, their sizes and bases come from kCopyForms.
inline const char* ReadCommand(const std::uint8_t* in, std::size_t avail, Command& c) {
  constexpr CopyForm kTwo = kCopyForms[0], kThree = kCopyForms[1], kFour = kCopyForms[2];
  static_assert(kTwo.opcode == 0x00 && kThree.opcode == 0x80 && kFour.opcode == 0xC0 && kLiteralCommand == 0xE0);
  const std::uint8_t b0 = in[0];
  if (b0 < kThree.opcode) {
    if (avail < kTwo.bytes) return "truncated 2-byte command";
    c = {kTwo.bytes, b0 & 3u, ((b0 >> 2) & 7u) + kTwo.shortest, ((b0 & 0x60u) << 3) + in[1] + 1u, false};
  } else if (b0 < kFour.opcode) {
    if (avail < kThree.bytes) return "truncated 3-byte command";
    c = {kThree.bytes, static_cast<std::size_t>(in[1] >> 6), (b0 & 0x3Fu) + kThree.shortest,
         ((in[1] & 0x3Fu) << 8) + in[2] + 1u, false};
  } else if (b0 < kLiteralCommand) {
    if (avail < kFour.bytes) return "truncated 4-byte command";
    c = {kFour.bytes, b0 & 3u, ((b0 & 0x0Cu) << 6) + in[3] + kFour.shortest,
         ((b0 & 0x10u) << 12) + (static_cast<std::size_t>(in[1]) << 8) + in[2] + 1u, false};
  } else if (b0 < kStopCommand) {
    c = {1, ((b0 & 0x1Fu) + 1) * 4, 0, 0, false};
  } else {
    c = {1, b0 & 3u, 0, 0, true};
  }
  return nullptr;
}

// Bytes past a command's end that the block copies below may touch; the
// next command overwrites what they put there.
constexpr std::size_t kSlack = 16;

// Copies len bytes from dist back, in whole blocks that may run up to
// kSlack - 1 bytes past the end. The regions may overlap, and then each
// byte must see the ones just written (a run of one byte repeated, say):
// a block reads only bytes that are final, so a short distance first
// writes, a byte at a time, a stretch the pattern repeats in.
inline void CopyMatchInBlocks(std::uint8_t* dst, std::size_t dist, std::size_t len) {
  const std::uint8_t* const src = dst - dist;
  if (dist >= 16) {
    for (std::size_t k = 0; k < len; k += 16) std::memcpy(dst + k, src + k, 16);
    return;
  }
  std::size_t k = 0;
  std::size_t step = dist;
  if (dist < 8) {
    step = (8 + dist - 1) / dist * dist;  // the first multiple of dist from 8 on, at most 14
    for (; k < step; ++k) dst[k] = src[k];
  }
  // Each block reads from step back, where the pattern stands written out
  // at least 8 bytes wide; dst + k comes first, so no pointer leaves the output.
  for (; k < len; k += 8) std::memcpy(dst + k, dst + k - step, 8);
}

// Copies len bytes from dist back exactly, for the end of the output.
inline void CopyMatch(std::uint8_t* dst, std::size_t dist, std::size_t len) {
  const std::uint8_t* src = dst - dist;
  if (dist >= len) {
    std::memcpy(dst, src, len);
  } else {
    while (len-- > 0) *dst++ = *src++;
  }
}

struct Cursor {
  const std::uint8_t* in;
  const std::uint8_t* in_end;
  std::uint8_t* out;
  std::uint8_t* out_begin;
  std::uint8_t* out_end;
};

// Appends command c's literals and copy, which the output has room for;
// in points at the literals. Where both buffers have kSlack bytes more,
// whole blocks are copied.
inline void Perform(Cursor& cur, const Command& c) {
  if (static_cast<std::size_t>(cur.in_end - cur.in) >= c.literals + kSlack &&
      static_cast<std::size_t>(cur.out_end - cur.out) >= c.literals + c.length + kSlack) {
    for (std::size_t k = 0; k < c.literals; k += 16) std::memcpy(cur.out + k, cur.in + k, 16);
    cur.in += c.literals;
    cur.out += c.literals;
    if (c.length != 0) CopyMatchInBlocks(cur.out, c.distance, c.length);
  } else {
    if (c.literals != 0) {  // out may be null while the output is empty
      std::memcpy(cur.out, cur.in, c.literals);
      cur.in += c.literals;
      cur.out += c.literals;
    }
    if (c.length != 0) CopyMatch(cur.out, c.distance, c.length);
  }
  cur.out += c.length;
}

// Runs the commands up to the stop command. Returns what is wrong, or null;
// command is left at the command in question.
const char* RunCommands(Cursor& cur, const std::uint8_t*& command) {
  for (;;) {
    command = cur.in;
    if (cur.in == cur.in_end) return "truncated stream: no stop command";
    Command c;
    if (const char* why = ReadCommand(cur.in, static_cast<std::size_t>(cur.in_end - cur.in), c)) return why;
    if (static_cast<std::size_t>(cur.in_end - cur.in) - c.bytes < c.literals) return "truncated literals";
    if (static_cast<std::size_t>(cur.out_end - cur.out) < c.literals + c.length) return "output over the declared size";
    if (c.length != 0 && c.distance > static_cast<std::size_t>(cur.out - cur.out_begin) + c.literals) {
      return "copy from before the start of the output";
    }
    cur.in += c.bytes;
    Perform(cur, c);
    if (c.stop) break;
  }
  command = cur.in;
  if (cur.out != cur.out_end) return "stop command before the declared size was reached";
  if (cur.in != cur.in_end) return "bytes after the stop command";
  return nullptr;
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
  Header header;
  const char* why = nullptr;
  if (!ParseHeader(input, header, &why)) {
    output.clear();
    return Fail(error, why);
  }
  // The most a command yields per byte of it: the longest copy with the
  // literals it carries, from its widest form (1031 bytes from 4, under 258
  // a byte). No honest stream declares more per input byte; refusing such a
  // size keeps a forged header from making us allocate gigabytes.
  constexpr CopyForm kWidest = kCopyForms[kCopyFormCount - 1];
  constexpr std::uint64_t kMostPerByte = (kWidest.longest + kMaxCarried + kWidest.bytes - 1) / kWidest.bytes;
  static_assert(kMostPerByte == 258);
  const std::uint64_t stream = input.size() - header.length;
  if (header.size > stream * kMostPerByte) {
    output.clear();
    return Fail(error, "declared size " + std::to_string(header.size) +
                           " is impossible for a stream of " + std::to_string(input.size()) +
                           " bytes");
  }
  // A buffer that is reused keeps its bytes: every one is written below.
  output.resize(static_cast<std::size_t>(header.size));
  Cursor cur{input.data() + header.length, input.data() + input.size(), output.data(), output.data(),
             output.data() + output.size()};
  const std::uint8_t* command = cur.in;
  if (const char* what = RunCommands(cur, command)) {
    output.clear();
    return Fail(error, std::string(what) + " at stream offset " + std::to_string(command - input.data()));
  }
  return true;
}

bool IsRefPack(std::span<const std::uint8_t> input) {
  std::vector<std::uint8_t> output;
  return Decompress(input, output, nullptr);
}

}  // namespace refpack
