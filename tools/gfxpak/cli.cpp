#include "cli.h"

#include <cstdint>
#include <iomanip>
#include <span>
#include <string_view>

#include "big_archive.h"
#include "file.h"
#include "refpack/refpack.h"

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
    "  gfxpak -compact ARCHIVE         rewrite the archive without dead space\n"
    "  gfxpak -h | --version\n"
    "exit status: 0 done, 1 bad or unreadable file, 2 bad usage\n";

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

Result ReadInput(const std::string& path, std::vector<std::uint8_t>& data) {
  if (auto e = ReadWholeFile(path, data)) return FileError(path, "cannot read: " + ErrorText(e));
  return std::nullopt;
}

Result WriteOutput(const std::string& path, std::span<const std::uint8_t> data) {
  if (auto e = WriteFileAtomically(path, data)) return FileError(path, "cannot write: " + ErrorText(e));
  return std::nullopt;
}

Result Compress(const std::string& in, const std::string& out) {
  std::vector<std::uint8_t> data;
  if (Result r = ReadInput(in, data)) return r;
  // An import that is run again must not compress the file a second time.
  if (refpack::IsRefPack(data)) {
    if (in == out) return std::nullopt;
    return WriteOutput(out, data);
  }
  std::vector<std::uint8_t> packed;
  try {
    packed = refpack::Compress(data);
  } catch (const std::length_error&) {
    return FileError(in, "too large to compress");
  }
  return WriteOutput(out, packed);
}

Result Decompress(const std::string& in, const std::string& out) {
  std::vector<std::uint8_t> data;
  if (Result r = ReadInput(in, data)) return r;
  std::vector<std::uint8_t> plain;
  std::string why;
  if (!refpack::Decompress(data, plain, &why)) return FileError(in, "not a valid RefPack stream: " + why);
  return WriteOutput(out, plain);
}

Result Put(const std::string& archive_path, const std::string& file_path) {
  std::vector<std::uint8_t> data;
  if (Result r = ReadInput(file_path, data)) return r;
  const std::string name = BareName(file_path);
  if (name.empty()) return FileError(file_path, "no file name");
  if (!FileExists(archive_path)) {
    return WriteOutput(archive_path, NewArchive(name, data));
  }
  File file;
  if (auto e = file.Open(archive_path, OpenMode::kUpdate)) return FileError(archive_path, e);
  FileStorage storage(file);
  if (Status s = PutEntry(storage, name, data, PutOptions{}); !s.ok()) return FileError(archive_path, s.error);
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

Result Compact(const std::string& path) {
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
    if (Result r = NeedArgs(args, 3, "ARCHIVE FILE")) return r;
    return Put(args[1], args[2]);
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
    if (Result r = NeedArgs(args, 2, "ARCHIVE")) return r;
    return Compact(args[1]);
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
