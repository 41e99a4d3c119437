// Writing through a restore point: the journal of an update (the original
// bytes it will overwrite, its target, an undo record before each
// overwrite), the settling of an update that a kill or a power loss cut
// short, and -restore, which puts the original back.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "big_archive.h"
#include "error.h"
#include "restore_point.h"
#include "storage.h"

namespace gfxpak {

// What a writer did about an update that it found cut short.
struct Settlement {
  enum class Outcome {
    kNone,       // there was none
    kFinished,   // its table was written: it is recorded as done
    kCompleted,  // readers saw part of it (a restore of several entries): the rest is written
    kTakenBack,  // it had not become visible, or a record was torn: undone
  };
  Outcome outcome = Outcome::kNone;
  bool torn = false;  // taken back with a table record half written
  std::string entry;  // the entry it wrote, when known
};

// Whether a restore checks the original's last bytes as well as its header.
// A forced restore skips them: they may be what another program changed.
enum class TailCheck { kCheck, kSkip };

// How far a restore got when it failed.
enum class RestoreProgress {
  kNotStarted,  // the archive is as it was
  kPartWay,     // some of the original is back: running -restore again finishes it
};

// The writes to an open restore point. As the journal of an update it saves
// the original bytes the update will overwrite (before the update marks
// itself running), records what the update writes, and then an undo record
// before each overwrite.
class RestoreJournal : public UpdateJournal {
 public:
  RestoreJournal(Storage& journal, Storage& archive, RestorePoint& point)
      : journal_(journal), archive_(archive), point_(point) {}

  Status Begin(std::uint64_t size, std::uint64_t reach, const UpdateTarget& target,
               const WrittenData& written) override;
  Status Keep(std::uint64_t offset, std::span<const std::uint8_t> old) override;

  // The update is complete: the archive now has this fingerprint.
  Status Commit(const Fingerprint& fingerprint);
  // The update was undone: the archive is as it was before it.
  Status Abort();
  // Undoes the running update from its undo records; run again after an
  // interruption, it finishes the job.
  Status Rollback();
  // Settles an update that a kill or a power loss cut short: finishes one
  // that readers see already (its table reads as its target, or part of
  // it does), takes back any other. Either way the archive then matches the
  // fingerprint.
  Status Settle(Settlement& settlement);
  // Marks the restore point "restoring", puts every saved range back, cuts
  // the archive to its original size and checks it against the original's
  // hashes (the last bytes too unless told to skip them). Run again after an
  // interruption, it finishes the job. progress says whether a failure
  // came before or after the first byte of the archive was written.
  Status Restore(TailCheck tail, RestoreProgress& progress);

 private:
  Status WriteState(RestoreState state, const Fingerprint& fingerprint, std::uint64_t undo_base,
                    std::uint64_t undo_length = 0);
  Status SaveOriginals(std::uint64_t end, std::vector<std::uint8_t>& append, std::vector<SavedRange>& added);
  Status Append(std::span<const std::uint8_t> bytes, std::uint64_t at, std::uint64_t length_pos, std::uint64_t length);
  Status CheckWritten();

  Storage& journal_;
  Storage& archive_;
  RestorePoint& point_;
};

}  // namespace gfxpak
