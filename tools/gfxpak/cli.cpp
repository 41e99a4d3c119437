#include "cli.h"

#include <cstdint>
#include <cstdlib>
#include <iomanip>
#include <span>
#include <string_view>

#include "big_archive.h"
#include "file.h"
#include "refpack/refpack.h"
#include "restore_point.h"

namespace gfxpak {

namespace {

constexpr std::string_view kVersion = "gfxpak 1.0.0";

constexpr std::string_view kUsage =
    "usage:\n"
    "  gfxpak -compress -real IN OUT   RefPack-compress IN into OUT (IN may be OUT);\n"
    "                                  a file that is already RefPack is kept as it is\n"
    "  gfxpak -p ARCHIVE FILE          put FILE into ARCHIVE (replace the entry of the\n"
    "                                  same name, else add it; a missing ARCHIVE is created)\n"
    "  gfxpak -l ARCHIVE               list the entries\n"
    "  gfxpak -x [-d] ARCHIVE NAME OUT extract an entry (-d: decompress it)\n"
    "  gfxpak -d IN OUT                decompress a RefPack file\n"
    "                                  (-p -norestore: make no restore point)\n"
    "  gfxpak -restore ARCHIVE         put the archive back as it was before gfxpak\n"
    "                                  first changed it (from ARCHIVE.restore)\n"
    "  gfxpak -compact [-force] ARCHIVE  rewrite the archive without dead space\n"
    "                                  (-force: even if that drops its restore point)\n"
    "  gfxpak -h | --version\n"
    "exit status: 0 done, 1 bad or unreadable file, 2 bad usage\n"
    "GFXPAK_THREADS=N: compress on at most N threads (the output is the same)\n";

struct Failure {
  int code;
  std::string line;
};

// What went wrong with which file, as one line.
Failure FileError(const std::string& path, const std::string& what) { return {kExitBadFile, path + ": " + what}; }
Failure FileError(const std::string& path, std::error_code error) { return FileError(path, ErrorText(error)); }
Failure Usage(const std::string& what) { return {kExitUsage, what + " (gfxpak -h shows the usage)"}; }

using Args = std::vector<std::string>;
using Result = std::optional<Failure>;

Result ReadInput(const std::string& path, FileBytes& data) {
  if (auto e = ReadWholeFile(path, data)) return FileError(path, "cannot read: " + ErrorText(e));
  return std::nullopt;
}

Result WriteOutput(const std::string& path, std::span<const std::uint8_t> data) {
  if (auto e = WriteFileAtomically(path, data)) return FileError(path, "cannot write: " + ErrorText(e));
  return std::nullopt;
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

Result Compress(const std::string& in, const std::string& out) {
  FileBytes data;
  if (Result r = ReadInput(in, data)) return r;
  // An import that is run again must not compress the file a second time.
  if (refpack::IsRefPack(data)) {
    if (in == out) return std::nullopt;
    return WriteOutput(out, data);
  }
  std::vector<std::uint8_t> packed;
  try {
    packed = refpack::Compress(data, {.threads = ThreadsFromEnvironment()});
  } catch (const std::length_error&) {
    return FileError(in, "too large to compress");
  }
  return WriteOutput(out, packed);
}

Result Decompress(const std::string& in, const std::string& out) {
  FileBytes data;
  if (Result r = ReadInput(in, data)) return r;
  std::vector<std::uint8_t> plain;
  std::string why;
  if (!refpack::Decompress(data, plain, &why)) return FileError(in, "not a valid RefPack stream: " + why);
  return WriteOutput(out, plain);
}

// The archive's restore point, opened and checked, or made now when there is
// none and make_new is set. created tells whether this call made it.
Result OpenRestorePoint(const std::string& archive_path, Storage& archive, bool make_new, File& journal,
                        RestorePoint& point, bool& created) {
  const std::string path = RestorePathFor(archive_path);
  created = false;
  if (!FileExists(path)) {
    if (!make_new) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    if (Status s = NewRestorePoint(archive, bytes); !s.ok()) return FileError(archive_path, s.error);
    if (Result r = WriteOutput(path, bytes)) return r;
    created = true;
  }
  if (auto e = journal.Open(path, OpenMode::kUpdate)) return FileError(path, e);
  FileStorage storage(journal);
  if (Status s = LoadRestorePoint(storage, archive, point); !s.ok()) {
    journal.Close();
    if (created) RemoveFile(path);
    return FileError(path, s.error + "; gfxpak will not change the archive while it is there");
  }
  return std::nullopt;
}

Result Put(const std::string& archive_path, const std::string& file_path, bool make_restore_point) {
  FileBytes data;
  if (Result r = ReadInput(file_path, data)) return r;
  const std::string name = BareName(file_path);
  if (name.empty()) return FileError(file_path, "no file name");
  if (!FileExists(archive_path)) {
    return WriteOutput(archive_path, NewArchive(name, data));
  }
  File file;
  if (auto e = file.Open(archive_path, OpenMode::kUpdate)) return FileError(archive_path, e);
  FileStorage storage(file);
  Archive archive;
  if (Status s = ReadArchive(storage, archive); !s.ok()) return FileError(archive_path, s.error);

  // An existing restore point is always kept up to date, even with
  // -norestore: writing past it would make it restore a mix.
  File journal;
  RestorePoint point;
  bool created = false;
  if (Result r = OpenRestorePoint(archive_path, storage, make_restore_point, journal, point, created)) return r;
  PutResult result;
  Status status;
  if (journal.is_open()) {
    FileStorage journal_storage(journal);
    RestoringStorage restoring(storage, journal_storage, point);
    PutOptions options;
    options.reuse_floor = point.original_size;
    status = PutEntry(restoring, name, data, options, &result);
  } else {
    status = PutEntry(storage, name, data, PutOptions{}, &result);
  }
  if (!status.ok()) {
    if (created && !result.changed) {
      journal.Close();
      RemoveFile(RestorePathFor(archive_path));
    }
    return FileError(archive_path, status.error);
  }
  return std::nullopt;
}

Result Restore(const std::string& archive_path, std::ostream& out) {
  const std::string path = RestorePathFor(archive_path);
  if (!FileExists(path)) return FileError(archive_path, "has no restore point (" + BareName(path) + ")");
  std::uint64_t size = 0;
  {
    File file;
    if (auto e = file.Open(archive_path, OpenMode::kUpdate)) return FileError(archive_path, e);
    File journal;
    if (auto e = journal.Open(path, OpenMode::kUpdate)) return FileError(path, e);
    FileStorage archive(file);
    FileStorage journal_storage(journal);
    RestorePoint point;
    if (Status s = LoadRestorePoint(journal_storage, archive, point); !s.ok()) return FileError(path, s.error);
    if (Status s = ApplyRestorePoint(journal_storage, archive, point); !s.ok()) return FileError(archive_path, s.error);
    size = point.original_size;
  }
  // Removed only once the archive is whole again: an interrupted restore
  // finds its restore point and runs again.
  if (auto e = RemoveFile(path)) return FileError(path, "cannot remove: " + ErrorText(e));
  out << archive_path << ": restored to its original " << size << " bytes\n";
  return std::nullopt;
}

Result OpenArchive(const std::string& path, OpenMode mode, File& file, Archive& archive) {
  if (auto e = file.Open(path, mode)) return FileError(path, e);
  FileStorage storage(file);
  if (Status s = ReadArchive(storage, archive); !s.ok()) return FileError(path, s.error);
  return std::nullopt;
}

std::string_view ConventionName(const Archive& a) {
  switch (a.convention) {
    case HeaderField::kTableEnd: return "table end";
    case HeaderField::kFirstData: return "first data";
    case HeaderField::kFixed: break;
  }
  return "fixed";
}

Result List(const std::string& path, std::ostream& out) {
  File file;
  Archive a;
  if (Result r = OpenArchive(path, OpenMode::kRead, file, a)) return r;
  out << path << ": " << std::string(a.magic.begin(), a.magic.end()) << ", " << a.entries.size() << " entries, "
      << a.file_size << " bytes (header says " << a.archive_size << "), third field " << a.header_field << " ("
      << ConventionName(a);
  if (a.convention == HeaderField::kTableEnd) out << " + " << a.field_extra;
  out << "), dead space " << DeadBytes(a) << " bytes\n";
  const std::string restore_path = RestorePathFor(path);
  if (FileExists(restore_path)) {
    File journal;
    std::uint64_t journal_size = 0;
    if (auto e = journal.Open(restore_path, OpenMode::kRead)) return FileError(restore_path, e);
    FileStorage journal_storage(journal);
    FileStorage archive(file);
    RestorePoint point;
    const Status s = LoadRestorePoint(journal_storage, archive, point);
    journal.Size(journal_size);
    out << "restore point: " << restore_path << ", " << journal_size << " bytes";
    if (s.ok()) {
      out << ", " << point.ranges.size() << " saved ranges, original size " << point.original_size << '\n';
    } else {
      out << ", unusable: " << s.error << '\n';
    }
  } else {
    out << "restore point: none\n";
  }
  out << "    offset       size  packed  name\n";
  std::vector<std::uint8_t> head;
  for (const Entry& e : a.entries) {
    head.resize(std::min<std::size_t>(e.size, 8));
    if (auto err = file.ReadAt(e.offset, head)) return FileError(path, "cannot read: " + ErrorText(err));
    const bool packed = refpack::DeclaredSize(head).has_value();
    out << std::setw(10) << e.offset << ' ' << std::setw(10) << e.size << "  " << (packed ? "yes   " : "no    ") << "  "
        << e.name << '\n';
  }
  return std::nullopt;
}

Result Extract(const std::string& path, const std::string& name, const std::string& out_path, bool decompress) {
  File file;
  Archive a;
  if (Result r = OpenArchive(path, OpenMode::kRead, file, a)) return r;
  const std::optional<std::size_t> index = FindEntry(a, name);
  if (!index) return FileError(path, "no entry named \"" + name + "\"");
  FileStorage storage(file);
  std::vector<std::uint8_t> data;
  if (Status s = ReadEntry(storage, a.entries[*index], data); !s.ok()) return FileError(path, s.error);
  if (!decompress) return WriteOutput(out_path, data);
  std::vector<std::uint8_t> plain;
  std::string why;
  if (!refpack::Decompress(data, plain, &why)) {
    return FileError(path, "entry \"" + a.entries[*index].name + "\" is not a valid RefPack stream: " + why);
  }
  return WriteOutput(out_path, plain);
}

Result Compact(const std::string& path, bool force, std::ostream& out) {
  const std::string restore_path = RestorePathFor(path);
  const bool has_restore_point = FileExists(restore_path);
  if (has_restore_point && !force) {
    return FileError(path, "has a restore point, which compacting would make useless (-compact -force compacts and "
                           "deletes it; -restore goes back to the original)");
  }
  const std::string temp = TemporaryPathBeside(path);
  {
    File source;
    Archive a;
    if (Result r = OpenArchive(path, OpenMode::kUpdate, source, a)) return r;
    File target;
    if (auto e = target.Open(temp, OpenMode::kCreateNew)) return FileError(temp, "cannot create: " + ErrorText(e));
    FileStorage from(source);
    FileStorage to(target);
    if (Status s = CompactArchive(from, to); !s.ok()) {
      target.Close();
      RemoveFile(temp);
      return FileError(path, s.error);
    }
  }
  // Windows cannot rename over a file that is still open, so the handles
  // close first.
  if (auto e = RenameOver(temp, path)) {
    RemoveFile(temp);
    return FileError(path, e);
  }
  if (has_restore_point) {
    if (auto e = RemoveFile(restore_path)) return FileError(restore_path, "cannot remove: " + ErrorText(e));
    out << path << ": compacted; its restore point is deleted\n";
  }
  return std::nullopt;
}

Result NeedArgs(const Args& args, std::size_t count, std::string_view what) {
  if (args.size() != count) return Usage(std::string(args[0]) + " needs " + std::string(what));
  return std::nullopt;
}

Result Run(const Args& args, std::ostream& out) {
  if (args.empty()) return Usage("no command given");
  const std::string& command = args[0];
  if (command == "-h" || command == "--help" || command == "/?") {
    if (Result r = NeedArgs(args, 1, "no arguments")) return r;
    out << kUsage;
    return std::nullopt;
  }
  if (command == "--version") {
    if (Result r = NeedArgs(args, 1, "no arguments")) return r;
    out << kVersion << '\n';
    return std::nullopt;
  }
  if (command == "-compress") {
    // "-real" is what callers pass; the compression is the same without it.
    const std::size_t first = (args.size() > 1 && args[1] == "-real") ? 2 : 1;
    if (args.size() != first + 2) return Usage("-compress needs -real IN OUT");
    return Compress(args[first], args[first + 1]);
  }
  if (command == "-p") {
    const bool no_restore = args.size() > 1 && args[1] == "-norestore";
    const std::size_t first = no_restore ? 2 : 1;
    if (args.size() != first + 2) return Usage("-p needs [-norestore] ARCHIVE FILE");
    return Put(args[first], args[first + 1], !no_restore);
  }
  if (command == "-restore") {
    if (Result r = NeedArgs(args, 2, "ARCHIVE")) return r;
    return Restore(args[1], out);
  }
  if (command == "-l") {
    if (Result r = NeedArgs(args, 2, "ARCHIVE")) return r;
    return List(args[1], out);
  }
  if (command == "-x") {
    const bool decompress = args.size() > 1 && args[1] == "-d";
    const std::size_t first = decompress ? 2 : 1;
    if (args.size() != first + 3) return Usage("-x needs [-d] ARCHIVE NAME OUT");
    return Extract(args[first], args[first + 1], args[first + 2], decompress);
  }
  if (command == "-d") {
    if (Result r = NeedArgs(args, 3, "IN OUT")) return r;
    return Decompress(args[1], args[2]);
  }
  if (command == "-compact") {
    const bool force = args.size() > 1 && args[1] == "-force";
    const std::size_t first = force ? 2 : 1;
    if (args.size() != first + 1) return Usage("-compact needs [-force] ARCHIVE");
    return Compact(args[first], force, out);
  }
  return Usage("unknown command " + command);
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const Result failure = Run(args, out);
  out.flush();
  if (!failure) return kExitOk;
  err << "gfxpak: " << failure->line << '\n';
  return failure->code;
}

}  // namespace gfxpak
