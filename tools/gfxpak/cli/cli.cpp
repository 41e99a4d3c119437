// The command line: the table of command forms, which is the parser and
// the usage text both, and the run of one command.
#include "cli.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string_view>

#include "cli_commands.h"
#include "error.h"
#include "product.h"
#include "storage.h"
#include "take_out.h"

namespace gfxpak {

namespace {

constexpr std::string_view kVersion = "gfxpak " TESSOLO_VERSION;

using Args = std::vector<std::string>;

Status Usage(std::string what) { return Fail(Errc::kUsage, {}, std::move(what)); }

// GFXPAK_HOLD_WAIT=MS waits at most MS milliseconds for a file that another
// program holds (0: not at all); unset, or not a number up to a minute,
// kHoldWait. A caller that found the game holding an archive sets it low, so
// that each further file for that archive does not wait in vain.
std::chrono::milliseconds HoldWaitFromEnvironment() {
  const char* value = std::getenv(std::string(kHoldWaitVariable).c_str());
  if (value == nullptr || *value < '0' || *value > '9') return kHoldWait;
  char* end = nullptr;
  const unsigned long ms = std::strtoul(value, &end, 10);
  return *end == '\0' && ms <= 60000 ? std::chrono::milliseconds(ms) : kHoldWait;
}

// What a command's handler is given: its operands, whether its flag was
// there, and where it reports.
struct Call {
  const Args& operands;
  bool flag;
  FileSystem& fs;
  std::istream& in;
  std::ostream& out;
  Notes& notes;
};

template <typename Enum>
Enum FlagAs(const Call& call) {
  return call.flag ? Enum::kYes : Enum::kNo;
}

// How the usage shows a form's flag: as optional, or as given, when every
// caller passes it and it changes nothing.
enum class FlagShown { kOptional, kAsPassed };

// One command line form. The table below is the parser and the usage text
// both: operands are named words, and a last one ending in "..." takes one
// or more.
struct Command {
  std::string_view name;
  std::string_view flag;      // its one optional flag, or ""
  FlagShown shown;
  std::string_view operands;  // as the usage shows them
  std::string_view help;      // lines, each after a '\n'
  Status (*run)(const Call&);
};

Status ShowUsage(const Call& call);
Status TakeOutCommand(const Call& call);

constexpr Command kCommands[] = {
    {kCompressCommand, kCompressFlag, FlagShown::kAsPassed, "IN OUT",
     "RefPack-compress IN into OUT (IN may be\nOUT); an IN that is RefPack already is kept\n"
     "as it is, one that is empty or decodes to\nnothing is refused (-real is what callers\npass; it changes nothing)",
     [](const Call& c) { return Compress(c.fs, c.operands[0], c.operands[1]); }},
    {kImportCommand, "-norestore", FlagShown::kOptional, "ARCHIVE FILE",
     "put FILE into ARCHIVE, replacing the entry\nof the same name or adding one; a missing\n"
     "ARCHIVE is created (-norestore: make no\nrestore point); a FILE that is empty or\ndecodes to nothing is refused",
     [](const Call& c) {
       // The flag says not to make one.
       const MakeRestorePoint make = c.flag ? MakeRestorePoint::kNo : MakeRestorePoint::kYes;
       return Put(c.fs, c.operands[0], c.operands[1], make, c.notes);
     }},
    {"-l", "", FlagShown::kOptional, "ARCHIVE", "list the entries, each marked original,\nreplaced or added when there is a restore\npoint",
     [](const Call& c) { return List(c.fs, c.operands[0], c.out); }},
    {"-check", "", FlagShown::kOptional, "ARCHIVE",
     "read every entry, decode every compressed\none, check the table and the restore point",
     [](const Call& c) { return Check(c.fs, c.operands[0], c.out); }},
    {"-x", "-d", FlagShown::kOptional, "ARCHIVE NAME OUT", "extract an entry (-d: decompress it)",
     [](const Call& c) {
       return Extract(c.fs, c.operands[0], c.operands[1], c.operands[2], FlagAs<Decode>(c), c.notes);
     }},
    {"-d", "", FlagShown::kOptional, "IN OUT", "decompress a RefPack file",
     [](const Call& c) { return Decompress(c.fs, c.operands[0], c.operands[1]); }},
    {"-restore", "-force", FlagShown::kOptional, "ARCHIVE",
     "put the archive back as it was before\ngfxpak first changed it (from\n"
     "ARCHIVE.restore; -force: even if the archive\nis not as gfxpak left it)",
     [](const Call& c) { return Restore(c.fs, c.operands[0], FlagAs<Force>(c), c.out, c.notes); }},
    {"-restore", "", FlagShown::kOptional, "ARCHIVE NAME...",
     "put back only the named entries (a replaced\none gets its original bytes, an added one\nleaves)",
     [](const Call& c) {
       return RestoreNamed(c.fs, c.operands[0], Args(c.operands.begin() + 1, c.operands.end()), c.out, c.notes);
     }},
    {"-compact", "-force", FlagShown::kOptional, "ARCHIVE",
     "rewrite the archive without dead space\n(-force: even if that drops its restore\npoint)",
     [](const Call& c) { return Compact(c.fs, c.operands[0], FlagAs<Force>(c), c.out, c.notes); }},
    {"-takeout", "-all", FlagShown::kOptional, "ARCHIVE... [-- FILE...]",
     "for a player at a console: says what will\nhappen and asks first; takes out of the\n"
     "ARCHIVEs the entries that imports replaced\nor added, named by the FILEs or picked\n"
     "from a numbered list (-all: every ARCHIVE\nback to its original)",
     TakeOutCommand},
    {"-h", "", FlagShown::kOptional, "", "this text (also --help and /?)", ShowUsage},
    {"--version", "", FlagShown::kOptional, "", "the version",
     [](const Call& c) {
       c.out << kVersion << '\n';
       return Status();
     }},
};

constexpr std::string_view kEnvironment =
    "GFXPAK_THREADS=N: compress on at most N threads (the output is the same)\n"
    "GFXPAK_HOLD_WAIT=MS: wait at most MS ms for a file another program holds\n"
    "  for a moment (an antivirus, a sync client); 1500 when not set\n";

// What a form takes after its name: "[-force] ARCHIVE", say.
std::string Arguments(const Command& c) {
  std::string words;
  if (c.shown == FlagShown::kAsPassed) {
    words += c.flag;
  } else if (!c.flag.empty()) {
    words += '[';
    words += c.flag;
    words += ']';
  }
  if (!c.flag.empty() && !c.operands.empty()) words += ' ';
  words += c.operands;
  return words;
}

Status ShowUsage(const Call& call) {
  constexpr std::size_t kHelpColumn = 36;
  call.out << "usage:\n";
  for (const Command& c : kCommands) {
    std::string line = "  gfxpak ";
    line += c.name;
    line += ' ';
    line += Arguments(c);
    std::string_view help = c.help;
    // A form too long for the column has its help on the lines below.
    if (line.size() >= kHelpColumn) {
      call.out << line << '\n';
      line.clear();
    }
    for (bool first = true; first || !help.empty(); first = false) {
      const std::size_t end = std::min(help.find('\n'), help.size());
      line.resize(std::max(line.size() + 1, kHelpColumn), ' ');
      line += help.substr(0, end);
      call.out << line << '\n';
      help.remove_prefix(std::min(end + 1, help.size()));
      line.clear();
    }
  }
  call.out << "exit status:\n";
  for (const auto& [code, meaning] : kPackerExits) call.out << "  " << static_cast<int>(code) << "  " << meaning << '\n';
  call.out << kEnvironment;
  return {};
}

// Whether count operands fit a form: as many as its named words, or any
// number from there when the last ends in "..." or the form ends in words
// in brackets, which its handler sorts out.
bool Fits(const Command& c, std::size_t count) {
  const std::string_view required = c.operands.substr(0, c.operands.find(" ["));
  const auto words =
      required.empty() ? 0 : 1 + static_cast<std::size_t>(std::count(required.begin(), required.end(), ' '));
  return required.ends_with("...") || required.size() < c.operands.size() ? count >= words : count == words;
}

// Each ARCHIVE among the operands (the first, or for ARCHIVE... all up to
// "--"): never a name that gfxpak gives an archive's own files, and
// replaced by the copy of it that the game reads where that is another
// file (a per-user copy that Windows made), which the command then works
// on, saying so first.
Status TakeArchiveOperands(const Command& c, Args& operands, FileSystem& fs, std::ostream& out) {
  if (!c.operands.starts_with("ARCHIVE")) return {};
  const auto archives = c.operands.starts_with("ARCHIVE...") ? std::find(operands.begin(), operands.end(), "--")
                                                              : operands.begin() + (operands.empty() ? 0 : 1);
  for (auto it = operands.begin(); it != archives; ++it) {
    if (Status s = CheckNotKept(fs, *it, FileUse::kArchive); !s.ok()) return s;
    const std::string copy = fs.GameCopyOf(*it);
    if (copy == *it) continue;
    out << *it << ": the game reads its copy " << copy << "; that copy is the one used\n";
    *it = copy;
  }
  return {};
}

bool IsHelp(std::string_view word) { return word == "--help" || word == "/?"; }

// A word that is no command. Without a leading '-' it is most likely a file
// dropped on gfxpak.exe by a player who wants a stadium out.
std::string NotACommand(const std::string& word) {
  if (word.starts_with('-')) return "unknown command " + Printable(word);
  return Printable(word) +
         " is not a command: to take a stadium out of the game's archives, drop its file on "
         "take-out-stadiums.cmd in the game's data folder";
}

// -takeout [-all] ARCHIVE... [-- FILE...]
Status TakeOutCommand(const Call& c) {
  const auto split = std::find(c.operands.begin(), c.operands.end(), "--");
  TakeOutRequest request{Args(c.operands.begin(), split), {}, c.flag};
  if (split != c.operands.end()) request.files.assign(split + 1, c.operands.end());
  if (request.archives.empty()) return Usage("-takeout needs an ARCHIVE before --");
  if (request.everything && split != c.operands.end()) return Usage("-takeout -all takes no FILE");
  return TakeOut(c.fs, request, c.in, c.out,
                 [&](const std::string& archive, const Settlement& settled) { c.notes.Add(archive, settled); });
}

Status Run(const Args& args, FileSystem& fs, std::istream& in, std::ostream& out, Notes& notes) {
  if (args.empty()) return Usage("no command given");
  const std::string_view command = IsHelp(args[0]) ? "-h" : std::string_view(args[0]);
  // A flag of one form is never an operand of another.
  const auto is_flag = [&](const Command& c) { return !c.flag.empty() && args.size() > 1 && args[1] == c.flag; };
  const bool flag_given = std::any_of(std::begin(kCommands), std::end(kCommands),
                                      [&](const Command& c) { return c.name == command && is_flag(c); });
  std::vector<std::string> forms;
  for (const Command& c : kCommands) {
    if (c.name != command) continue;
    const bool flag = is_flag(c);
    const Args operands(args.begin() + (flag ? 2 : 1), args.end());
    if (flag == flag_given && Fits(c, operands.size())) {
      Args used = operands;
      if (Status s = TakeArchiveOperands(c, used, fs, out); !s.ok()) return s;
      return c.run(Call{used, flag, fs, in, out, notes});
    }
    forms.push_back(c.operands.empty() && c.flag.empty() ? "no arguments" : Arguments(c));
  }
  if (forms.empty()) return Usage(NotACommand(args[0]));
  std::string what(command);
  what += " needs ";
  for (std::size_t i = 0; i < forms.size(); ++i) {
    if (i > 0) what += ", or ";
    what += forms[i];
  }
  return Usage(std::move(what));
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                   FileSystem& fs) {
  Status status;
  Notes notes;
  try {
    status = Run(args, fs, in, out, notes);
  } catch (const std::bad_alloc&) {
    status = Fail(Errc::kOutOfMemory);
  }
  out.flush();
  for (const std::string& line : notes.lines) err << kPackerPrefix << line << '\n';
  if (status.ok()) return kExitOk;
  err << kPackerPrefix << Describe(status.error()) << '\n';
  return static_cast<int>(ExitCodeOf(status.error()));
}

int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, FileSystem& fs) {
  std::istringstream no_answer;
  return RunCommandLine(args, no_answer, out, err, fs);
}

int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
  SystemFileSystem disk;
  PatientFileSystem fs(disk, HoldWaitFromEnvironment());
  return RunCommandLine(args, in, out, err, fs);
}

}  // namespace gfxpak
