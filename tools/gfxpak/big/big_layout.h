// The BIG archive's bytes: the header's fields, the table's records, the
// limits every archive keeps, the marker new archives carry, and the
// encoders that both the reader (big_archive.cpp) and the updater
// (big_update.cpp) write with. big_archive.h builds on these.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <system_error>
#include <vector>

#include "error.h"

namespace gfxpak {

// The header: magic, the archive's size (little-endian), the entry count
// and the third field (both big-endian); the table follows.
inline constexpr std::size_t kHeaderSize = 16;
inline constexpr std::size_t kSizeField = 4;
inline constexpr std::size_t kCountField = 8;
inline constexpr std::size_t kThirdField = 12;
void EncodeHeader(std::uint8_t* out, const std::array<std::uint8_t, 4>& magic, std::uint32_t archive_size,
                  std::uint32_t count, std::uint32_t field);

// A record: the entry's offset and size (both big-endian), then its name
// and a NUL.
inline constexpr std::uint32_t kRecordOffset = 0;
inline constexpr std::uint32_t kRecordSize = 4;
inline constexpr std::uint32_t kRecordFixed = 8;
std::vector<std::uint8_t> EncodeRecord(std::uint32_t offset, std::uint32_t size, std::string_view name);

// Offsets and sizes are 32 bits: an archive, and so every file that goes
// into one or comes out of one, is less than 4 GiB.
inline constexpr std::uint64_t kMaxArchive = 0xFFFFFFFFu;
// Whether an entry of this name and size may be written at all.
Status CheckNewEntry(std::string_view name, std::uint64_t size);
// An entry index that names no entry.
inline constexpr std::uint32_t kNoIndex = 0xFFFFFFFFu;

// How far past the table's end a third field may point and still be read
// as "the table's end plus some".
inline constexpr std::uint32_t kMaxFieldExtra = 16;
// At least this many bytes after the table travel with it: room for the
// 8-byte "L231" marker that new archives carry.
inline constexpr std::uint32_t kMinTrailer = 8;
inline constexpr std::array<std::uint8_t, 8> kNewMarker = {'L', '2', '3', '1', 0, 0, 0, 0};

// How much of an entry a copy holds in memory at once.
inline constexpr std::size_t kCopyChunk = 1u << 20;
// A failed read or write of the archive, saying which it was.
Status IoFail(const char* what, std::error_code error);

}  // namespace gfxpak
