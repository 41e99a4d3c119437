#include "error.h"

#include "path_names.h"
#include "system_error_text.h"

namespace gfxpak {

namespace {

class GfxpakErrorCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "gfxpak"; }
  std::string message(int value) const override {
    switch (static_cast<Errc>(value)) {
      case Errc::kInUse: return "archive is in use";
      case Errc::kShortRead: return "file is shorter than expected";
      case Errc::kNotArchive: return "not a BIGF archive";
      case Errc::kDamagedArchive: return "damaged archive";
      case Errc::kArchiveFull: return "archive would grow past 4 GiB";
      case Errc::kFileTooLarge: return "file larger than 4 GiB";
      case Errc::kTooManyEntries: return "too many entries for gfxpak to hold in memory";
      case Errc::kBadName: return "not a usable entry name";
      case Errc::kReadBackDiffers: return "data read back differs from what was written";
      case Errc::kNotRefPack: return "not a valid RefPack stream";
      case Errc::kNoEntry: return "no such entry";
      case Errc::kNoRestorePoint: return "has no restore point";
      case Errc::kDamagedRestorePoint: return "restore point is damaged";
      case Errc::kForeignRestorePoint: return "restore point belongs to another archive";
      case Errc::kOutdatedRestorePoint:
        return "the archive is not as gfxpak left it: another program changed it, or the restore point was made "
               "for another archive";
      case Errc::kRestoreUnfinished: return "an earlier -restore did not finish";
      case Errc::kNotOriginal: return "the archive is not the original after restoring";
      case Errc::kOriginalLost:
        return "the original cannot be put back: the archive no longer holds all of it";
      case Errc::kOrphanRestorePoint: return "has a restore point but the archive itself is missing";
      case Errc::kKeepsRestorePoint:
        return "has a restore point, which compacting would make useless (-compact -force compacts and deletes it; "
               "-restore goes back to the original)";
      case Errc::kIsTheArchive: return "is the archive itself or its restore point";
      case Errc::kKeptFile: return "is a file that gfxpak keeps for an archive";
      case Errc::kKeptName:
        return "is named as gfxpak names an archive's lock file, restore point or temporary file: choose another name";
      case Errc::kForeignLockFile:
        return "is not a lock file of gfxpak's (it holds data), and gfxpak keeps this name for the archive's lock: "
               "move or rename it";
      case Errc::kTornEntry:
        return "its table record is half written (a power loss cut an update short): the next gfxpak command that "
               "changes the archive repairs it";
      case Errc::kUnchangedEntry: return "gfxpak has not changed this entry";
      case Errc::kProblemsFound: return "problems found";
      case Errc::kIsAnArchive:
        return "is a BIG archive, which gfxpak changes only with -p, -restore and -compact";
      case Errc::kEmptyFile: return "is empty: a stadium file always holds something, so it is not imported";
      case Errc::kOutOfMemory: return "not enough memory";
      case Errc::kUsage: return "bad usage";
    }
    return "unknown error";
  }
};

}  // namespace

const std::error_category& GfxpakCategory() {
  static const GfxpakErrorCategory category;
  return category;
}

std::error_code make_error_code(Errc e) { return {static_cast<int>(e), GfxpakCategory()}; }

std::string ErrorText(std::error_code code) {
  std::string text = SystemErrorText(code);
  while (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

std::string Printable(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out += c;
    } else {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

std::string PartWayBack(const std::string& archive) {
  return "part way back: run gfxpak -restore " + archive + " again";
}

std::string Describe(const Error& error) {
  if (error.code == Errc::kUsage) return error.detail + " (gfxpak -h shows the usage)";
  std::string line;
  if (!error.path.empty()) line += error.path + ": ";
  if (!error.context.empty()) line += error.context + ": ";
  line += ErrorText(error.code);
  if (!error.detail.empty()) line += " (" + error.detail + ")";
  if (error.code == Errc::kOriginalLost) {
    line += "; the archive and its restore point are left as they were: put back the game's own " +
            BareName(error.path) + " (from its CD or a backup)";
  }
  if (error.code == Errc::kRestoreUnfinished || error.part_way) line += "; " + PartWayBack(error.path);
  if (error.undo_code) {
    line += "; undoing the change failed as well (";
    if (!error.undo_context.empty()) line += error.undo_context + ": ";
    line += ErrorText(error.undo_code) + ")";
    line += error.restore_point_kept ? "; the restore point keeps the way back: the next gfxpak command on the "
                                       "archive settles the update, gfxpak -restore " + error.path +
                                           " puts the original back"
                                     : "; every entry still holds its old or its new content";
  } else if (error.restore_point_kept) {
    line += "; the change is made, and the next gfxpak command on the archive records it";
  }
  return Printable(line);
}

PackerExit ExitCodeOf(const Error& error) {
  if (error.code.category() != GfxpakCategory()) return SystemErrorExit(error.code);
  switch (static_cast<Errc>(error.code.value())) {
    case Errc::kUsage:
    case Errc::kKeptName: return PackerExit::kUsage;
    case Errc::kInUse: return PackerExit::kInUse;
    // What a player can only mend by putting the game's own archive back.
    case Errc::kNotArchive:
    case Errc::kDamagedArchive:
    case Errc::kOriginalLost: return PackerExit::kDamaged;
    case Errc::kEmptyFile: return PackerExit::kEmptyFile;
    default: return PackerExit::kRefused;
  }
}

}  // namespace gfxpak
