#include "cli.h"

#include <cstdint>
#include <cstdlib>
#include <iomanip>
#include <span>
#include <string_view>

#include "archive_ops.h"
#include "big_archive.h"
#include "error.h"
#include "file.h"
#include "product.h"
#include "refpack/refpack.h"
#include "restore_point.h"
#include "storage.h"

namespace gfxpak {

namespace {

constexpr std::string_view kVersion = "gfxpak " TESSOLO_VERSION;

constexpr std::string_view kUsage =
    "usage:\n"
    "  gfxpak -compress -real IN OUT   RefPack-compress IN into OUT (IN may be OUT);\n"
    "                                  a file that is already RefPack is kept as it is\n"
    "  gfxpak -p [-norestore] ARCHIVE FILE  put FILE into ARCHIVE (replace the entry of\n"
    "                                  the same name, else add it; a missing ARCHIVE is\n"
    "                                  created; -norestore: make no restore point)\n"
    "  (-compress and -p refuse an IN or FILE that is empty or decodes to nothing)\n"
    "  gfxpak -l ARCHIVE               list the entries\n"
    "  gfxpak -x [-d] ARCHIVE NAME OUT extract an entry (-d: decompress it)\n"
    "  gfxpak -d IN OUT                decompress a RefPack file\n"
    "  gfxpak -restore [-force] ARCHIVE  put the archive back as it was before gfxpak\n"
    "                                  first changed it (from ARCHIVE.restore; -force:\n"
    "                                  even if the archive is not as gfxpak left it)\n"
    "  gfxpak -compact [-force] ARCHIVE  rewrite the archive without dead space\n"
    "                                  (-force: even if that drops its restore point)\n"
    "  gfxpak -h | --version\n"
    "exit status: 0 done, 1 refused for another reason (the message says why),\n"
    "  2 bad usage, 3 archive or file in use (by the game, say), 4 access denied\n"
    "  or read-only, 5 no space left on the drive, 6 damaged archive,\n"
    "  7 empty stadium file\n"
    "GFXPAK_THREADS=N: compress on at most N threads (the output is the same)\n";

using Args = std::vector<std::string>;

Status Usage(std::string what) { return Fail(Errc::kUsage, {}, std::move(what)); }

Status ReadInput(const std::string& path, FileBytes& data) {
  if (auto e = ReadWholeFile(path, data)) return InFile(Fail(e, "cannot read"), path);
  return {};
}

Status WriteOutput(const std::string& path, std::span<const std::uint8_t> data) {
  return WriteFileAtomically(path, data);
}

// The RefPack codec reports with a flag and a reason; here that becomes a
// Status like every other failure.
Status NotRefPack(const std::string& path, std::string why, const std::string& entry = {}) {
  return InFile(Fail(Errc::kNotRefPack, entry.empty() ? "" : "entry \"" + entry + "\"", std::move(why)), path);
}

// GFXPAK_THREADS=N compresses on at most N threads (1 to compare with a
// single core); unset, or not a number from 1 on, on all of them.
unsigned ThreadsFromEnvironment() {
  const char* value = std::getenv("GFXPAK_THREADS");
  if (value == nullptr || *value < '1' || *value > '9') return 0;
  char* end = nullptr;
  const unsigned long n = std::strtoul(value, &end, 10);
  return *end == '\0' && n <= 4096 ? static_cast<unsigned>(n) : 0;
}

// A stadium file is never empty: an empty one is a download that went wrong,
// and put into an archive it would give the game an empty entry in place of
// its own. Compressed, it is a header that decodes to nothing, so that is
// refused as well, for a file that an earlier gfxpak did compress.
Status RefuseEmpty(const std::string& path, std::span<const std::uint8_t> data) {
  if (data.empty() || (refpack::DeclaredSize(data) == 0 && refpack::IsRefPack(data))) {
    return InFile(Fail(Errc::kEmptyFile), path);
  }
  return {};
}

Status Compress(const std::string& in, const std::string& out) {
  FileBytes data;
  if (Status s = ReadInput(in, data); !s.ok()) return s;
  if (Status s = RefuseEmpty(in, data); !s.ok()) return s;
  // An import that is run again must not compress the file a second time.
  if (refpack::IsRefPack(data)) {
    if (in == out) return {};
    return WriteOutput(out, data);
  }
  std::vector<std::uint8_t> packed;
  try {
    packed = refpack::Compress(data, {.threads = ThreadsFromEnvironment()});
  } catch (const std::length_error&) {
    return InFile(Fail(Errc::kFileTooLarge, "cannot compress"), in);
  }
  return WriteOutput(out, packed);
}

Status Decompress(const std::string& in, const std::string& out) {
  FileBytes data;
  if (Status s = ReadInput(in, data); !s.ok()) return s;
  std::vector<std::uint8_t> plain;
  std::string why;
  if (!refpack::Decompress(data, plain, &why)) return NotRefPack(in, why);
  return WriteOutput(out, plain);
}

Status Put(FileSystem& fs, const std::string& archive_path, const std::string& file_path, bool make_restore_point) {
  FileBytes data;
  if (Status s = ReadInput(file_path, data); !s.ok()) return s;
  if (Status s = RefuseEmpty(file_path, data); !s.ok()) return s;
  const std::string name = BareName(file_path);
  if (name.empty()) return InFile(Fail(Errc::kBadName, {}, "no file name"), file_path);
  return PutIntoArchive(fs, archive_path, name, data, make_restore_point, file_path);
}

Status Restore(FileSystem& fs, const std::string& archive_path, bool force, std::ostream& out) {
  std::uint64_t size = 0;
  if (Status s = RestoreArchive(fs, archive_path, force, size); !s.ok()) return s;
  out << archive_path << ": restored to its original " << size << " bytes\n";
  return {};
}

Status OpenArchive(FileSystem& fs, const std::string& path, std::unique_ptr<Storage>& storage, Archive& archive) {
  if (auto e = fs.Open(path, OpenMode::kRead, storage)) return InFile(Fail(e, "cannot open"), path);
  return InFile(ReadArchive(*storage, archive), path);
}

std::string_view ConventionName(const Archive& a) {
  switch (a.convention) {
    case HeaderField::kTableEnd: return "table end";
    case HeaderField::kFirstData: return "first data";
    case HeaderField::kFixed: break;
  }
  return "fixed";
}

// The restore point's line of the listing: what it holds and whether the
// archive is as it expects.
Status ListRestorePoint(FileSystem& fs, const std::string& path, Storage& archive, std::ostream& out) {
  const std::string restore_path = RestorePathFor(path);
  if (!fs.Exists(restore_path)) {
    out << "restore point: none\n";
    return {};
  }
  std::unique_ptr<Storage> journal;
  if (auto e = fs.Open(restore_path, OpenMode::kRead, journal)) return InFile(Fail(e, "cannot open"), restore_path);
  std::uint64_t journal_size = 0;
  journal->Size(journal_size);
  out << "restore point: " << restore_path << ", " << journal_size << " bytes";
  RestorePoint point;
  Status s = LoadRestorePoint(*journal, point);
  if (s.ok()) s = CheckBelongs(*journal, archive, point);
  if (s.ok() && point.state == RestoreState::kIdle && !point.earlier_layout) s = CheckFingerprint(archive, point);
  if (!s.ok()) {
    out << ", unusable: " << Describe(s.error()) << '\n';
    return {};
  }
  out << ", " << point.ranges.size() << " saved ranges, original size " << point.original_size;
  if (point.earlier_layout) out << ", made by an earlier gfxpak";
  if (point.state == RestoreState::kUpdating) out << "; an update was cut short: the next gfxpak command on the archive undoes it";
  if (point.state == RestoreState::kRestoring) out << "; " << ErrorText(Errc::kRestoreUnfinished);
  out << '\n';
  return {};
}

Status List(FileSystem& fs, const std::string& path, std::ostream& out) {
  std::unique_ptr<Storage> storage;
  Archive a;
  if (Status s = OpenArchive(fs, path, storage, a); !s.ok()) return s;
  out << path << ": " << std::string(a.magic.begin(), a.magic.end()) << ", " << a.entries.size() << " entries, "
      << a.file_size << " bytes (header says " << a.archive_size << "), third field " << a.header_field << " ("
      << ConventionName(a);
  if (a.convention == HeaderField::kTableEnd) out << " + " << a.field_extra;
  out << "), dead space " << DeadBytes(a) << " bytes\n";
  if (Status s = ListRestorePoint(fs, path, *storage, out); !s.ok()) return s;
  out << "    offset       size  packed  name\n";
  std::vector<std::uint8_t> head;
  for (const Entry& e : a.entries) {
    head.resize(std::min<std::size_t>(e.size, 8));
    if (auto err = storage->Read(e.offset, head)) return InFile(Fail(err, "cannot read"), path);
    const bool packed = refpack::DeclaredSize(head).has_value();
    out << std::setw(10) << e.offset << ' ' << std::setw(10) << e.size << "  " << (packed ? "yes   " : "no    ") << "  "
        << e.name << '\n';
  }
  return {};
}

Status Extract(FileSystem& fs, const std::string& path, const std::string& name, const std::string& out_path,
               bool decompress) {
  if (IsOwnFile(fs, path, out_path)) return InFile(Fail(Errc::kIsTheArchive), out_path);
  std::unique_ptr<Storage> storage;
  Archive a;
  if (Status s = OpenArchive(fs, path, storage, a); !s.ok()) return s;
  const std::optional<std::size_t> index = FindEntry(a, name);
  if (!index) return InFile(Fail(Errc::kNoEntry, {}, "\"" + name + "\""), path);
  std::vector<std::uint8_t> data;
  if (Status s = ReadEntry(*storage, a.entries[*index], data); !s.ok()) return InFile(s, path);
  if (!decompress) return WriteOutput(out_path, data);
  std::vector<std::uint8_t> plain;
  std::string why;
  if (!refpack::Decompress(data, plain, &why)) return NotRefPack(path, why, a.entries[*index].name);
  return WriteOutput(out_path, plain);
}

Status Compact(FileSystem& fs, const std::string& path, bool force, std::ostream& out) {
  bool dropped = false;
  if (Status s = CompactArchiveFile(fs, path, force, dropped); !s.ok()) return s;
  if (dropped) out << path << ": compacted; its restore point is deleted\n";
  return {};
}

Status NeedArgs(const Args& args, std::size_t count, std::string_view what) {
  if (args.size() != count) return Usage(std::string(args[0]) + " needs " + std::string(what));
  return {};
}

// The arguments after a command that takes one optional flag.
std::size_t AfterFlag(const Args& args, std::string_view flag) { return args.size() > 1 && args[1] == flag ? 2 : 1; }

Status Run(const Args& args, FileSystem& fs, std::ostream& out) {
  if (args.empty()) return Usage("no command given");
  const std::string& command = args[0];
  if (command == "-h" || command == "--help" || command == "/?") {
    if (Status s = NeedArgs(args, 1, "no arguments"); !s.ok()) return s;
    out << kUsage;
    return {};
  }
  if (command == "--version") {
    if (Status s = NeedArgs(args, 1, "no arguments"); !s.ok()) return s;
    out << kVersion << '\n';
    return {};
  }
  if (command == "-compress") {
    // "-real" is what callers pass; the compression is the same without it.
    const std::size_t first = AfterFlag(args, "-real");
    if (args.size() != first + 2) return Usage("-compress needs -real IN OUT");
    return Compress(args[first], args[first + 1]);
  }
  if (command == "-p") {
    const std::size_t first = AfterFlag(args, "-norestore");
    if (args.size() != first + 2) return Usage("-p needs [-norestore] ARCHIVE FILE");
    return Put(fs, args[first], args[first + 1], first == 1);
  }
  if (command == "-restore") {
    const std::size_t first = AfterFlag(args, "-force");
    if (args.size() != first + 1) return Usage("-restore needs [-force] ARCHIVE");
    return Restore(fs, args[first], first == 2, out);
  }
  if (command == "-l") {
    if (Status s = NeedArgs(args, 2, "ARCHIVE"); !s.ok()) return s;
    return List(fs, args[1], out);
  }
  if (command == "-x") {
    const std::size_t first = AfterFlag(args, "-d");
    if (args.size() != first + 3) return Usage("-x needs [-d] ARCHIVE NAME OUT");
    return Extract(fs, args[first], args[first + 1], args[first + 2], first == 2);
  }
  if (command == "-d") {
    if (Status s = NeedArgs(args, 3, "IN OUT"); !s.ok()) return s;
    return Decompress(args[1], args[2]);
  }
  if (command == "-compact") {
    const std::size_t first = AfterFlag(args, "-force");
    if (args.size() != first + 1) return Usage("-compact needs [-force] ARCHIVE");
    return Compact(fs, args[first], first == 2, out);
  }
  return Usage("unknown command " + command);
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, FileSystem& fs) {
  Status status;
  try {
    status = Run(args, fs, out);
  } catch (const std::bad_alloc&) {
    status = Fail(Errc::kOutOfMemory);
  }
  out.flush();
  if (status.ok()) return kExitOk;
  err << "gfxpak: " << Describe(status.error()) << '\n';
  return static_cast<int>(ExitCodeOf(status.error()));
}

int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  SystemFileSystem fs;
  return RunCommandLine(args, out, err, fs);
}

}  // namespace gfxpak
