// What a restore point can prove about its archive: the original's bytes
// read back through it and compared with their hashes, the fingerprint of
// the archive gfxpak left, the origin and the standing of each entry.
#include "restore_checks.h"

#include <algorithm>

#include "crc64.h"
#include "sha256.h"

namespace gfxpak {

namespace {

constexpr std::uint64_t kFingerprintSample = 64 * 1024;
constexpr std::size_t kReadChunk = 1u << 20;

Status ReadOriginalInto(Storage& journal, Storage& archive, const RestorePoint& point, std::uint64_t begin,
                        std::span<std::uint8_t> out) {
  const std::uint64_t end = begin + out.size();
  if (auto e = archive.Read(begin, out)) return IoFail("cannot read the archive", e);
  for (const SavedRange& r : point.ranges) {
    const std::uint64_t lo = std::max(begin, r.offset);
    const std::uint64_t hi = std::min(end, r.offset + r.length);
    if (lo >= hi) continue;
    std::span<std::uint8_t> dst(out.data() + (lo - begin), static_cast<std::size_t>(hi - lo));
    if (auto e = journal.Read(r.data_pos + (lo - r.offset), dst)) return IoFail("cannot read the restore point", e);
  }
  return {};
}

// Whether claims cover every entry gfxpak wrote: only when the restore
// point has had them since it was made, or since it was brought up to date
// with its pieces hashed.
bool ClaimsComplete(const RestorePoint& point) { return point.layout == kCurrentLayout && !point.pieces.empty(); }

}  // namespace

PieceHash HashOf(std::span<const std::uint8_t> bytes) { return Crc64(0, bytes); }

Status HashOfArchive(Storage& archive, std::uint64_t begin, std::uint64_t length, std::array<std::uint8_t, 32>& hash) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
  if (auto e = archive.Read(begin, bytes)) return IoFail("cannot read the archive", e);
  hash = Sha256Of(bytes);
  return {};
}

ReadFn FromArchive(Storage& archive, std::uint64_t shift) {
  return [&archive, shift](std::uint64_t at, std::span<std::uint8_t> out) {
    if (auto e = archive.Read(at - shift, out)) return IoFail("cannot read the archive", e);
    return Status();
  };
}

ReadFn FromOriginal(Storage& journal, Storage& archive, const RestorePoint& point) {
  return [&journal, &archive, &point](std::uint64_t at, std::span<std::uint8_t> out) {
    return ReadOriginalInto(journal, archive, point, at, out);
  };
}

Status HashPieces(const ReadFn& read, const std::vector<std::uint64_t>& bounds, std::size_t first, std::size_t last,
                  std::vector<PieceHash>& out) {
  out.clear();
  std::vector<std::uint8_t> chunk;
  for (std::size_t i = first; i < last; ++i) {
    PieceHash crc = 0;
    for (std::uint64_t at = bounds[i]; at < bounds[i + 1]; at += chunk.size()) {
      chunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, bounds[i + 1] - at)));
      if (Status s = read(at, chunk); !s.ok()) return s;
      crc = Crc64(crc, chunk);
    }
    out.push_back(crc);
  }
  return {};
}

const Claim* ClaimFor(const RestorePoint& point, std::uint32_t offset, std::uint32_t size) {
  for (auto it = point.claims.rbegin(); it != point.claims.rend(); ++it) {
    if (it->offset == offset && it->size == size) return &*it;
  }
  return nullptr;
}

Status ReadOriginal(Storage& journal, Storage& archive, const RestorePoint& point, std::uint64_t begin, std::uint64_t end,
                    std::vector<std::uint8_t>& out) {
  out.assign(static_cast<std::size_t>(end - begin), 0);
  return ReadOriginalInto(journal, archive, point, begin, out);
}

Status ComparePieces(const RestorePoint& point, const std::vector<std::uint64_t>& bounds, std::uint64_t begin,
                     std::uint64_t end, const ReadFn& read, std::vector<bool>& differs) {
  const auto first = static_cast<std::size_t>(std::lower_bound(bounds.begin(), bounds.end(), begin) - bounds.begin());
  const auto last = static_cast<std::size_t>(std::lower_bound(bounds.begin(), bounds.end(), end) - bounds.begin());
  differs.resize(bounds.size() - 1, false);
  std::vector<PieceHash> hashes;
  if (Status s = HashPieces(read, bounds, first, last, hashes); !s.ok()) return s;
  for (std::size_t i = first; i < last; ++i) differs[i] = hashes[i - first] != point.pieces[i];
  return {};
}

bool OriginalCheck::any() const { return std::find(differs.begin(), differs.end(), true) != differs.end(); }

bool OriginalCheck::mostly() const {
  std::uint64_t differing = 0;
  for (std::size_t i = 1; i < differs.size(); ++i) differing += differs[i] ? bounds[i + 1] - bounds[i] : 0;
  return bounds.size() > 2 && differing > (bounds.back() - bounds[1]) / 2;
}

Status CheckOriginal(Storage& journal, Storage& archive, const RestorePoint& point, OriginalCheck& check) {
  check = OriginalCheck{};
  if (Status s = OriginalEntries(journal, point, check.entries); !s.ok()) return s;
  check.bounds = PieceBounds(check.entries, point.header_length, point.original_size);
  if (point.pieces.empty()) return {};
  return ComparePieces(point, check.bounds, 0, point.original_size, FromOriginal(journal, archive, point), check.differs);
}

std::vector<Difference> Differences(const OriginalCheck& check) {
  std::vector<Difference> out;
  for (std::size_t i = 0; i < check.differs.size(); ++i) {
    if (!check.differs[i]) continue;
    if (out.empty() || out.back().end != check.bounds[i] || !check.differs[i - 1]) {
      out.push_back({check.bounds[i], check.bounds[i + 1], {}});
    } else {
      out.back().end = check.bounds[i + 1];
    }
  }
  for (Difference& d : out) {
    for (std::size_t e = 0; e < check.entries.size(); ++e) {
      const Entry& entry = check.entries[e];
      if (entry.size > 0 && entry.offset < d.end && std::uint64_t{entry.offset} + entry.size > d.begin) {
        d.entries.push_back(e);
      }
    }
  }
  return out;
}

Status IsTheOriginal(Storage& journal, Storage& archive, const RestorePoint& point, bool& original) {
  original = false;
  std::uint64_t size = 0;
  if (auto e = archive.Size(size)) return IoFail("cannot read the archive", e);
  if (point.pieces.empty() || size != point.original_size) return {};
  std::vector<Entry> entries;
  if (Status s = OriginalEntries(journal, point, entries); !s.ok()) return s;
  const std::vector<std::uint64_t> bounds = PieceBounds(entries, point.header_length, point.original_size);
  std::vector<bool> differs;
  if (Status s = ComparePieces(point, bounds, 0, size, FromArchive(archive), differs); !s.ok()) return s;
  original = std::find(differs.begin(), differs.end(), true) == differs.end();
  return {};
}

Status TakeFingerprint(Storage& archive, std::uint32_t entry, Fingerprint& fingerprint) {
  Archive a;
  if (Status s = ReadArchive(archive, a); !s.ok()) return s;
  std::vector<std::uint8_t> head(a.table_end + a.trailer.size());
  if (auto e = archive.Read(0, head)) return IoFail("cannot read the archive", e);
  Sha256 sha;
  sha.Update(head);
  if (entry < a.entries.size()) {
    // The ends of the entry, not all of it: hashing whole stadium files
    // twice per import doubled its time, and a file that another program
    // put in its place differs at its start or its end.
    const Entry& e = a.entries[entry];
    const std::uint64_t sample = std::min<std::uint64_t>(e.size, kFingerprintSample);
    std::vector<std::uint8_t> data(static_cast<std::size_t>(sample));
    for (const std::uint64_t at : {std::uint64_t{e.offset}, std::uint64_t{e.offset} + e.size - sample}) {
      if (auto err = archive.Read(at, data)) return IoFail("cannot read the archive", err);
      sha.Update(data);
    }
  }
  fingerprint = Fingerprint{a.file_size, entry, sha.Finish()};
  return {};
}

Status CheckBelongs(Storage& journal, Storage& archive, const RestorePoint& point) {
  std::uint64_t archive_size = 0;
  if (auto e = archive.Size(archive_size)) return IoFail("cannot read the archive", e);
  if (archive_size < point.original_size) {
    return Fail(Errc::kForeignRestorePoint, {}, "the archive is smaller than the original");
  }
  std::vector<std::uint8_t> tail;
  if (Status s = ReadOriginal(journal, archive, point, point.original_size - point.tail_length, point.original_size, tail);
      !s.ok()) {
    return s;
  }
  if (Sha256Of(tail) != point.tail_hash) return Fail(Errc::kForeignRestorePoint, {}, "its data differs");
  return {};
}

Status CheckRestorePoint(Storage& journal, Storage& archive, const RestorePoint& point) {
  if (Status s = CheckBelongs(journal, archive, point); !s.ok()) return s;
  if (point.state != RestoreState::kIdle || point.layout == 1) return {};
  return CheckFingerprint(archive, point);
}

Status CompareWithOriginal(Storage& journal, Storage& archive, const RestorePoint& point, const Archive& a,
                           std::vector<Origin>& origins) {
  std::vector<Entry> original;
  if (Status s = OriginalEntries(journal, point, original); !s.ok()) return s;
  if (a.entries.size() < original.size()) {
    return Fail(Errc::kOutdatedRestorePoint, {}, "the archive has fewer entries than the original");
  }
  origins.assign(a.entries.size(), Origin::kAdded);
  std::vector<std::uint8_t> was;
  std::vector<std::uint8_t> now;
  for (std::size_t i = 0; i < original.size(); ++i) {
    const Entry& o = original[i];
    const Entry& e = a.entries[i];
    if (e.offset == o.offset && e.size == o.size) {
      origins[i] = Origin::kOriginal;
    } else if (e.size != o.size) {
      origins[i] = Origin::kReplaced;
    } else {
      // Moved out of the growing table's way, or replaced by bytes of the
      // same length: the bytes tell.
      if (Status s = ReadOriginal(journal, archive, point, o.offset, std::uint64_t{o.offset} + o.size, was); !s.ok()) {
        return s;
      }
      now.resize(e.size);
      if (auto err = archive.Read(e.offset, now)) return IoFail("cannot read the archive", err);
      origins[i] = was == now ? Origin::kOriginal : Origin::kReplaced;
    }
  }
  return {};
}

Status CheckEntries(Storage& archive, const RestorePoint& point, const Archive& a,
                    const OriginalCheck& check, std::vector<EntryStanding>& out) {
  out.clear();
  const std::vector<Entry>& original = check.entries;
  const bool proof = !check.differs.empty();
  // Whether the size bytes at offset are the original's bytes of entry o.
  const auto holds_original = [&](const Entry& o, std::uint32_t offset, bool& same) {
    const std::uint64_t end = std::uint64_t{o.offset} + o.size;
    std::vector<bool> differs;
    // Where no saved range reaches, CheckOriginal read these same bytes.
    if (offset == o.offset && Unsaved(point, o.offset, end)) {
      differs = check.differs;
    } else if (Status s = ComparePieces(point, check.bounds, o.offset, end, FromArchive(archive, std::uint64_t{o.offset} - offset),
                                        differs);
               !s.ok()) {
      return s;
    }
    const auto first = std::lower_bound(check.bounds.begin(), check.bounds.end(), o.offset) - check.bounds.begin();
    const auto last = std::lower_bound(check.bounds.begin(), check.bounds.end(), end) - check.bounds.begin();
    same = std::find(differs.begin() + first, differs.begin() + last, true) == differs.begin() + last;
    return Status();
  };
  std::vector<std::uint8_t> data;
  for (std::size_t i = 0; i < a.entries.size(); ++i) {
    const Entry& e = a.entries[i];
    const Entry* o = i < original.size() ? &original[i] : nullptr;
    if (o != nullptr && e.name != o->name) {
      out.push_back({i, Standing::kRenamed, o->name});
      continue;
    }
    if (e.size == 0) continue;
    if (o != nullptr && e.size == o->size && proof) {
      bool same = false;
      if (Status s = holds_original(*o, e.offset, same); !s.ok()) return s;
      if (same) continue;
    }
    if (const Claim* claim = ClaimFor(point, e.offset, e.size)) {
      if (Status s = ReadEntry(archive, e, data); !s.ok()) return s;
      if (claim->name != e.name) {
        out.push_back({i, Standing::kRenamed, claim->name});
      } else if (HashOf(data) != claim->hash) {
        out.push_back({i, Standing::kNotAsWritten, {}});
      }
      continue;
    }
    const bool original_record = o != nullptr && e.offset == o->offset && e.size == o->size;
    if (original_record && !proof) continue;
    if (original_record) {
      out.push_back({i, Standing::kNotOriginal, {}});
    } else {
      out.push_back({i, ClaimsComplete(point) ? Standing::kNotAsWritten : Standing::kUnknown, {}});
    }
  }
  for (std::size_t i = a.entries.size(); i < original.size(); ++i) out.push_back({i, Standing::kRenamed, original[i].name});
  return {};
}

Status CheckFingerprint(Storage& archive, const RestorePoint& point) {
  Fingerprint now;
  const Status s = TakeFingerprint(archive, point.fingerprint.entry, now);
  if (!s.ok() && s.error().code.category() == GfxpakCategory()) {
    return Fail(Errc::kOutdatedRestorePoint, {}, "it no longer reads as an archive");
  }
  if (!s.ok()) return s;
  if (now.size != point.fingerprint.size) {
    return Fail(Errc::kOutdatedRestorePoint, {},
                std::to_string(now.size) + " bytes instead of " + std::to_string(point.fingerprint.size));
  }
  if (now != point.fingerprint) return Fail(Errc::kOutdatedRestorePoint, {}, "its table or data differ");
  return {};
}

Status CompareWithUpdate(Storage& archive, const RestorePoint& point, std::optional<TargetState>& state) {
  state.reset();
  if (point.state != RestoreState::kUpdating || !point.target) return {};
  TargetState reached = TargetState::kNotVisible;
  if (Status s = CompareWithTarget(archive, *point.target, reached); !s.ok()) return s;
  state = reached;
  return {};
}

Status TornRecords(Storage& archive, const RestorePoint& point, std::vector<RecordChange>& torn) {
  torn.clear();
  if (point.state != RestoreState::kUpdating || !point.target) return {};
  return TornRecords(archive, *point.target, torn);
}

}  // namespace gfxpak
