// The BIG archive's byte layout below the header fields that big_archive.h
// names: the table's records, the marker new archives carry, and the
// encoders both the reader (big_archive.cpp) and the updater
// (big_update.cpp) use. Not for other callers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <system_error>
#include <vector>

#include "big_archive.h"
#include "byte_order.h"
#include "error.h"

namespace gfxpak {

// A record: the entry's offset and size (both big-endian), then its name
// and a NUL.
inline constexpr std::uint32_t kRecordOffset = 0;
inline constexpr std::uint32_t kRecordSize = 4;
inline constexpr std::uint32_t kRecordFixed = 8;
inline constexpr std::uint64_t kMaxArchive = 0xFFFFFFFFu;
// How far past the table's end a third field may point and still be read
// as "the table's end plus some".
inline constexpr std::uint32_t kMaxFieldExtra = 16;
// At least this many bytes after the table travel with it: room for the
// 8-byte "L231" marker that new archives carry.
inline constexpr std::uint32_t kMinTrailer = 8;
inline constexpr std::size_t kCopyChunk = 1u << 20;
inline constexpr std::array<std::uint8_t, 8> kNewMarker = {'L', '2', '3', '1', 0, 0, 0, 0};

Status IoFail(const char* what, std::error_code error);
// The lowest offset of an entry with data, or fallback when none has any.
std::uint32_t LowestData(const std::vector<Entry>& entries, std::uint64_t fallback);
// The third field for a table that ends at table_end, by the archive's convention.
std::uint32_t HeaderFieldFor(const Archive& a, std::uint32_t table_end, std::uint32_t first_data);
std::vector<std::uint8_t> EncodeRecord(std::uint32_t offset, std::uint32_t size, std::string_view name);
void EncodeHeader(std::uint8_t* out, const std::array<std::uint8_t, 4>& magic, std::uint32_t archive_size,
                  std::uint32_t count, std::uint32_t field);
// Whether an entry of this name and size may be written at all.
Status CheckNewEntry(std::string_view name, std::uint64_t size);

}  // namespace gfxpak
