// BIGF archives: reading, checking and crash-safe in-place updates. The
// layout and the update rules are described in FORMATS.md.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "big_layout.h"
#include "error.h"
#include "storage.h"

namespace gfxpak {

// More entries than this are refused: their table would take hundreds of
// megabytes of memory, and no game archive comes near.
inline constexpr std::uint32_t kMaxEntries = 1u << 20;

struct Entry {
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
  std::string name;
  std::uint32_t record_pos = 0;  // where its offset field sits in the table
};

// What the header's third field holds. Tools disagree; an archive keeps its
// own convention across updates.
enum class HeaderField {
  kTableEnd,   // the end of the table plus a fixed extra (up to 16 bytes: most often a 4- or 8-byte marker)
  kFirstData,  // the offset of the first entry data
  kFixed,      // anything else: left as it is
};

struct Archive {
  std::array<std::uint8_t, 4> magic{};
  std::uint32_t archive_size = 0;  // as the header says (little-endian field)
  std::uint32_t header_field = 0;  // the third field, as stored
  HeaderField convention = HeaderField::kFirstData;
  std::uint32_t field_extra = 0;   // kTableEnd: header_field - table_end
  std::vector<Entry> entries;
  std::uint32_t table_end = 0;     // just past the last name's NUL
  std::uint32_t first_data = 0;    // lowest offset of non-empty data; the file size if none
  std::uint64_t file_size = 0;
  // The bytes right after the table (a marker such as "L231" with padding)
  // that move along when the table grows.
  std::vector<std::uint8_t> trailer;
};

// Whether bytes begin with the magic of a BIG archive.
bool StartsAsArchive(std::span<const std::uint8_t> bytes);

// Reads and checks the header and table: magic "BIGF" or "BIG4", at most
// kMaxEntries entries, a table that ends inside the file, every entry's data
// inside the file and not overlapping the table.
Status ReadArchive(Storage& storage, Archive& archive);

// The lowest offset of an entry with data, or fallback when none has any.
std::uint32_t LowestData(const std::vector<Entry>& entries, std::uint64_t fallback);
// The third field for a table that ends at table_end, by the archive's
// convention.
std::uint32_t HeaderFieldFor(const Archive& a, std::uint32_t table_end, std::uint32_t first_data);

// Case-insensitive (ASCII) with '\' and '/' alike.
std::string NormalizeName(std::string_view name);

// The entry that name refers to: an exact match of the whole stored name, or
// else the one entry whose last path component matches. None when there is
// no match or the last-component match is ambiguous.
std::optional<std::size_t> FindEntry(const Archive& archive, std::string_view name);

// One table record that an update rewrites: the replaced entry's, or one
// that the growing table moves out of its way.
struct RecordChange {
  std::uint32_t pos = 0;  // where the record's offset field sits
  std::uint32_t old_offset = 0;
  std::uint32_t old_size = 0;
  std::uint32_t new_offset = 0;
  std::uint32_t new_size = 0;
};

// What an update will have made of the archive's header and table, known
// before its first write. One write makes an update visible to readers (the
// entry's record for a replacement, the header that counts a new entry);
// what the update writes after it (header fields that readers do not look
// at) can be redone from here. So once the table reads as the target, the
// update has happened for every reader, the game included, and a writer
// that finds it cut short there finishes it instead of taking it back.
struct UpdateTarget {
  std::uint32_t entry = 0;  // the index of the entry the update writes (kNoIndex: none)
  std::string name;         // its name, for messages
  std::array<std::uint8_t, kHeaderSize> header{};  // the header as the update leaves it
  std::uint32_t old_count = 0;
  std::vector<RecordChange> records;
  // The records only move entries out of the growing table's way: readers
  // see the same content at either place.
  bool records_move = false;
  // Table bytes from tail_pos: an added entry's record and the trailer, or
  // the records that close up behind removed ones, written before the
  // header shows them; or, when tail_last, the trailer that follows a table
  // cut short, written after the header.
  std::uint32_t tail_pos = 0;
  std::vector<std::uint8_t> tail;
  bool tail_last = false;
};

// How far the archive has come towards an update's target.
enum class TargetState {
  kNotVisible,  // readers see every entry as it was before
  kVisible,     // readers see the target; the header's other fields may lag
  // Some records are new and the others old (an update of several entries
  // that was cut short between their records): every entry reads as before
  // or as after, and all the data the others will point to is on the disk.
  kPartly,
  kTorn,        // neither: a record holds parts of both (a write that a power loss tore)
};

Status CompareWithTarget(Storage& storage, const UpdateTarget& target, TargetState& state);

// The target's records that hold neither their old nor their new values.
Status TornRecords(Storage& storage, const UpdateTarget& target, std::vector<RecordChange>& torn);

// Writes what an update that readers see (all of it, or part) has still to
// write: the records that are not new yet, then the header fields and the
// trailer that follow last.
Status FinishTarget(Storage& storage, const UpdateTarget& target);

// The content an update gives the entry it writes, and where: for a journal
// that keeps a hash of what gfxpak wrote. Empty for an update that writes
// no new content (a restore).
struct WrittenData {
  std::uint64_t offset = 0;
  std::span<const std::uint8_t> bytes;
};

// Told of an update's writes before they happen, so that what they overwrite
// is kept outside the archive as well: the restore point keeps it on the
// disk, where it outlives a killed gfxpak.
class UpdateJournal {
 public:
  virtual ~UpdateJournal() = default;
  // Before the first write. The update grows the file from size and writes
  // below the reuse floor only under reach: the header and the table as it
  // will be, which the target describes; written is the new content.
  virtual Status Begin(std::uint64_t size, std::uint64_t reach, const UpdateTarget& target,
                       const WrittenData& written) = 0;
  // Before a write over bytes below that size: what they hold now.
  virtual Status Keep(std::uint64_t offset, std::span<const std::uint8_t> old) = 0;
};

struct PutOptions {
  // New data never goes below this offset. A restore point sets it to the
  // archive's original size so that replacements never overwrite old bytes.
  std::uint64_t reuse_floor = 0;
  UpdateJournal* journal = nullptr;
};

struct PutResult {
  bool replaced = false;
  std::size_t index = 0;
  bool started = false;  // the update began writing
  bool undone = false;   // it failed, and its writes were undone
};

// Puts data into the archive under name: replaces the entry FindEntry picks
// (keeping its stored name and its place) or adds an entry at the end of the
// table. Every limit is checked before the first write. Writes in an order
// that leaves a valid archive after a crash at any point: each entry then
// holds its old or its new content and nothing else changes. New data is
// read back and compared before any entry points to it. An update that fails
// undoes its own writes, from what it kept before making them, so that the
// archive is byte for byte as it was; when the undo fails too, the returned
// error says so.
Status PutEntry(Storage& storage, std::string_view name, std::span<const std::uint8_t> data,
                const PutOptions& options, PutResult* result = nullptr);

// A restore by name gives an entry of the original its original content
// again: by pointing it back at its original bytes, where they still lie
// whole in the archive, or at a copy of them (copy), where the growing table
// took their place.
struct EntryBack {
  std::size_t index = 0;
  std::uint32_t offset = 0;  // where the original bytes lie, when copy is empty
  std::uint32_t size = 0;
  std::span<const std::uint8_t> copy;
};

// All that one restore by name changes, worked out before anything is
// written: the entries that get their original content back, and those
// that leave the table. Entries that leave from the end of the table leave
// in place, with one write of the header; any other would move the records
// behind it under readers' eyes, so that plan is made on a copy that
// replaces the archive in one rename (in_place false).
struct EntriesBack {
  UpdateTarget target;
  std::uint64_t reach = 0;  // writes below the floor stay under this
  std::uint64_t size = 0;   // of the archive as the plan leaves it
  struct Copy {
    std::uint64_t at = 0;
    std::span<const std::uint8_t> bytes;
  };
  std::vector<Copy> copies;  // written first, where an import's data would go
  bool in_place = true;
};

// back ascending by index, removed ascending; every index of back below
// every index of removed. Copies go to dead space at or above floor, or to
// the end.
Status PlanEntriesBack(const Archive& a, const std::vector<EntryBack>& back, const std::vector<std::size_t>& removed,
                       std::uint64_t floor, EntriesBack& plan);

// An in-place plan as one update with PutEntry's promises: the copies
// first, then each record, then the header; a failure undoes all of it.
Status PutEntriesBack(Storage& storage, const EntriesBack& plan, const PutOptions& options,
                      PutResult* result = nullptr);

// Writes to the empty target a copy of source as the plan leaves it.
Status WriteEntriesBack(Storage& source, Storage& target, const EntriesBack& plan);

// The entries of a header and table on their own (a restore point's saved
// original), without the entries' data.
Status ParseHeadBytes(std::span<const std::uint8_t> head, std::vector<Entry>& entries);

Status ReadEntry(Storage& storage, const Entry& entry, std::vector<std::uint8_t>& data);

// The bytes of a new archive with one entry: first-data convention, "L231"
// marker after the table.
Status NewArchive(std::string_view name, std::span<const std::uint8_t> data, std::vector<std::uint8_t>& bytes);

// Writes a copy of the archive in source to the empty target without dead
// space: same entries in the same order, same convention, same trailer.
Status CompactArchive(Storage& source, Storage& target);

// Bytes in the file that no entry, the table or its trailer uses.
std::uint64_t DeadBytes(const Archive& archive);

}  // namespace gfxpak
