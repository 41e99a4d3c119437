// Writing through a restore point: an update's journal, the settling of
// one that was cut short, and -restore itself.
#include "restore_journal.h"

#include <algorithm>

#include "restore_checks.h"
#include "restore_layout.h"

namespace gfxpak {

using namespace restore_layout;

namespace {

constexpr std::uint64_t kSaveAhead = 4096;

}  // namespace

Status RestoreJournal::WriteState(RestoreState state, const Fingerprint& fingerprint, std::uint64_t undo_base,
                                  std::uint64_t undo_length) {
  const auto bytes = EncodeState(state, fingerprint, undo_base, undo_length);
  if (auto e = journal_.Write(kStateBlock.pos, bytes)) return IoFail("cannot write the restore point", e);
  if (auto e = journal_.Flush()) return IoFail("cannot flush the restore point", e);
  point_.state = state;
  point_.fingerprint = fingerprint;
  point_.undo_base = undo_base;
  point_.undo_length = undo_length;
  point_.target.reset();
  point_.undo.clear();
  return {};
}

// The records first, then the length that makes them count.
Status RestoreJournal::Append(std::span<const std::uint8_t> bytes, std::uint64_t at, std::uint64_t length_pos,
                              std::uint64_t length) {
  if (auto e = journal_.Write(at, bytes)) return IoFail("cannot write the restore point", e);
  if (auto e = journal_.Flush()) return IoFail("cannot flush the restore point", e);
  std::uint8_t field[8];
  PutLe(field, length, sizeof field);
  if (auto e = journal_.Write(length_pos, field)) return IoFail("cannot write the restore point", e);
  if (auto e = journal_.Flush()) return IoFail("cannot flush the restore point", e);
  return {};
}

// The original bytes below end that are not saved yet, as ranges to append.
Status RestoreJournal::SaveOriginals(std::uint64_t end, std::vector<std::uint8_t>& append,
                                     std::vector<SavedRange>& added) {
  end = std::min(end, point_.original_size);
  // Saving a byte twice would record a changed byte as the original.
  auto missing = UnsavedParts(point_, 0, end);
  if (missing.empty()) return {};
  // Saving a little ahead covers the next few table growths too, so that
  // most imports append nothing. Any byte below the original size that is
  // not saved yet still holds its original value, so the extra is right.
  const std::uint64_t ahead = std::min(std::max(end, missing.front().begin + kSaveAhead), point_.original_size);
  missing = UnsavedParts(point_, 0, ahead);
  std::vector<std::uint8_t> original;
  for (const Interval& gap : missing) {
    original.resize(static_cast<std::size_t>(gap.end - gap.begin));
    if (auto e = archive_.Read(gap.begin, original)) return IoFail("cannot read the archive", e);
    const std::vector<std::uint8_t> range = EncodeRange(gap.begin, original);
    added.push_back({gap.begin, static_cast<std::uint32_t>(original.size()), point_.committed + append.size() + kRangeHeader});
    append.insert(append.end(), range.begin(), range.end());
  }
  return {};
}

Status RestoreJournal::Begin(std::uint64_t size, std::uint64_t reach, const UpdateTarget& target,
                             const WrittenData& written) {
  // The originals and the claims go before the mark: undo records follow
  // them, so nothing may be added to them while an update runs.
  std::vector<std::uint8_t> append;
  std::vector<SavedRange> added;
  if (Status s = SaveOriginals(reach, append, added); !s.ok()) return s;
  std::vector<Claim> claims;
  if (point_.layout == kCurrentLayout) {
    if (!written.bytes.empty()) {
      claims.push_back({static_cast<std::uint32_t>(written.offset), static_cast<std::uint32_t>(written.bytes.size()),
                        HashOf(written.bytes), target.name});
    }
    // An entry that gfxpak wrote keeps its claim where the table moves it.
    for (const RecordChange& c : target.records_move ? target.records : std::vector<RecordChange>()) {
      if (const Claim* was = ClaimFor(point_, c.old_offset, c.old_size)) {
        claims.push_back({c.new_offset, c.new_size, was->hash, was->name});
      }
    }
    for (const Claim& c : claims) {
      const std::vector<std::uint8_t> claim = EncodeClaim(c);
      append.insert(append.end(), claim.begin(), claim.end());
    }
  }
  if (!append.empty()) {
    const std::uint64_t committed = point_.committed + append.size();
    if (Status s = Append(append, point_.committed, kCommitted.pos, committed); !s.ok()) return s;
    point_.committed = committed;
    point_.ranges.insert(point_.ranges.end(), added.begin(), added.end());
    point_.claims.insert(point_.claims.end(), claims.begin(), claims.end());
  }
  // The target is counted by the same write that marks the update running.
  const std::vector<std::uint8_t> record = EncodeRange(kTargetMark, EncodeTarget(target));
  if (auto e = journal_.Write(point_.committed, record)) return IoFail("cannot write the restore point", e);
  if (auto e = journal_.Flush()) return IoFail("cannot flush the restore point", e);
  if (Status s = WriteState(RestoreState::kUpdating, point_.fingerprint, size, record.size()); !s.ok()) return s;
  point_.target = target;
  return {};
}

Status RestoreJournal::Keep(std::uint64_t offset, std::span<const std::uint8_t> old) {
  const std::uint64_t end = offset + old.size();
  if (!UnsavedParts(point_, offset, std::min(end, point_.original_size)).empty()) {
    // Begin saved everything the update said it would write below the
    // original size; anything else would leave the way back incomplete.
    return Fail(std::make_error_code(std::errc::state_not_recoverable), "cannot save the original bytes",
                "an update wrote outside the table it announced");
  }
  const std::vector<std::uint8_t> record = EncodeRange(offset, old);
  const std::uint64_t at = point_.committed + point_.undo_length;
  if (Status s = Append(record, at, kUndoLengthPos, point_.undo_length + record.size()); !s.ok()) return s;
  point_.undo.push_back({offset, static_cast<std::uint32_t>(old.size()), at + kRangeHeader});
  point_.undo_length += record.size();
  return {};
}

Status RestoreJournal::Commit(const Fingerprint& fingerprint) {
  if (Status s = WriteState(RestoreState::kIdle, fingerprint, 0); !s.ok()) return s;
  // The undo records no longer count; giving back their space can fail
  // without harm.
  journal_.Truncate(point_.committed);
  return {};
}

Status RestoreJournal::Abort() { return Commit(point_.fingerprint); }

Status RestoreJournal::Rollback() {
  if (point_.state != RestoreState::kUpdating) return {};
  std::vector<std::uint8_t> data;
  for (const SavedRange& r : point_.undo) {
    data.resize(r.length);
    if (auto e = journal_.Read(r.data_pos, data)) return IoFail("cannot read the restore point", e);
    if (auto e = archive_.Write(r.offset, data)) return IoFail("cannot write the archive", e);
  }
  if (auto e = archive_.Truncate(point_.undo_base)) return IoFail("cannot truncate the archive", e);
  if (auto e = archive_.Flush()) return IoFail("cannot flush the archive", e);
  return Abort();
}

Status RestoreJournal::Settle(Settlement& settlement) {
  settlement = Settlement{};
  if (point_.state != RestoreState::kUpdating) return {};
  if (point_.target) settlement.entry = point_.target->name;
  std::optional<TargetState> reached;
  if (Status s = CompareWithUpdate(archive_, point_, reached); !s.ok()) return s;
  if (reached != TargetState::kVisible && reached != TargetState::kPartly) {
    settlement.outcome = Settlement::Outcome::kTakenBack;
    settlement.torn = reached == TargetState::kTorn;
    return Rollback();
  }
  // Part of a restore of several entries is seen: taking it back would
  // undo what readers met, and all its data is on the disk, so the rest
  // of it is written.
  const UpdateTarget target = *point_.target;
  if (Status s = FinishTarget(archive_, target); !s.ok()) return s;
  Fingerprint fingerprint;
  if (Status s = TakeFingerprint(archive_, target.entry, fingerprint); !s.ok()) return s;
  settlement.outcome =
      reached == TargetState::kPartly ? Settlement::Outcome::kCompleted : Settlement::Outcome::kFinished;
  return Commit(fingerprint);
}

// That the pieces the restore wrote from its saved ranges read back as the
// original's: the others were checked before it began and are not written.
Status RestoreJournal::CheckWritten() {
  std::vector<Entry> entries;
  if (Status s = OriginalEntries(journal_, point_, entries); !s.ok()) return s;
  const std::vector<std::uint64_t> bounds = PieceBounds(entries, point_.header_length, point_.original_size);
  std::vector<bool> differs;
  for (std::size_t i = 0; i + 1 < bounds.size(); ++i) {
    if (Unsaved(point_, bounds[i], bounds[i + 1])) continue;
    if (Status s = ComparePieces(point_, bounds, bounds[i], bounds[i + 1], FromArchive(archive_), differs); !s.ok()) {
      return s;
    }
    if (differs[i]) return Fail(Errc::kNotOriginal, {}, "bytes it wrote do not read back");
  }
  return {};
}

Status RestoreJournal::Restore(TailCheck tail, RestoreProgress& progress) {
  progress = RestoreProgress::kNotStarted;
  const bool marked_now = point_.state != RestoreState::kRestoring;
  if (marked_now) {
    if (Status s = WriteState(RestoreState::kRestoring, point_.fingerprint, 0); !s.ok()) return s;
  } else {
    progress = RestoreProgress::kPartWay;
  }
  // In an order that shows readers, after every step, each entry with its
  // original or its present content: first the original entry count, which
  // drops the entries that imports added; then the original bytes under the
  // grown table, which no counted entry points to any more; then the
  // original header and table; and only then is what imports appended cut off.
  const auto put_back = [&](const SavedRange& r, std::uint64_t from, std::uint64_t length) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(length));
    if (auto e = journal_.Read(r.data_pos + from, data)) return IoFail("cannot read the restore point", e);
    progress = RestoreProgress::kPartWay;
    if (auto e = archive_.Write(r.offset + from, data)) return IoFail("cannot write the archive", e);
    return Status();
  };
  const auto flush = [&] {
    if (auto e = archive_.Flush()) return IoFail("cannot flush the archive", e);
    return Status();
  };
  const auto write_back = [&] {
    const SavedRange& head = point_.ranges.front();
    if (Status s = put_back(head, kCountField, 4); !s.ok()) return s;
    if (Status s = flush(); !s.ok()) return s;
    for (const SavedRange& r : std::span(point_.ranges).subspan(1)) {
      if (Status s = put_back(r, 0, r.length); !s.ok()) return s;
    }
    if (Status s = flush(); !s.ok()) return s;
    if (Status s = put_back(head, 0, head.length); !s.ok()) return s;
    if (Status s = flush(); !s.ok()) return s;
    if (auto e = archive_.Truncate(point_.original_size)) return IoFail("cannot truncate the archive", e);
    return flush();
  };
  if (Status s = write_back(); !s.ok()) {
    // Nothing of the archive written yet: it is as it was, and so is its
    // restore point when the mark can go again.
    if (progress == RestoreProgress::kNotStarted && marked_now) (void)WriteState(RestoreState::kIdle, point_.fingerprint, 0);
    return s;
  }

  std::uint64_t size = 0;
  if (auto e = archive_.Size(size)) return IoFail("cannot read the archive", e);
  std::array<std::uint8_t, 32> hash{};
  if (Status s = HashOfArchive(archive_, 0, point_.header_length, hash); !s.ok()) return s;
  if (size != point_.original_size || hash != point_.header_hash) return Fail(Errc::kNotOriginal, {}, "its header differs");
  if (!point_.pieces.empty()) return CheckWritten();
  if (tail == TailCheck::kSkip) return {};
  if (Status s = HashOfArchive(archive_, size - point_.tail_length, point_.tail_length, hash); !s.ok()) return s;
  if (hash != point_.tail_hash) return Fail(Errc::kNotOriginal, {}, "its last bytes differ");
  return {};
}

}  // namespace gfxpak
