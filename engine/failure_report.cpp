#include "failure_report.h"

#include "packer_protocol.h"
#include "product.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <span>

namespace {

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0u) == 0x80u; }

// Characters, not bytes: a name in Cyrillic takes as much room on screen as
// one in Latin letters.
std::size_t Characters(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return !IsContinuationByte(c); }));
}

// The bytes of the first count characters.
std::size_t BytesOf(std::string_view text, std::size_t count) {
  std::size_t i = 0;
  for (std::size_t seen = 0; i < text.size(); ++i) {
    if (!IsContinuationByte(text[i]) && seen++ == count) break;
  }
  return i;
}

// Text cut to a length, its end marked with an ellipsis.
std::string Shortened(std::string_view text, std::size_t longest) {
  if (Characters(text) <= longest) return std::string(text);
  return std::string(text.substr(0, BytesOf(text, longest - 1))) + "\xE2\x80\xA6";
}

// Text cut in its middle to a length, keeping its last tail characters:
// the end of a name (its version, its ending) or of a path (the folder
// itself) tells most.
std::string CutInMiddle(std::string_view text, std::size_t longest, std::size_t tail) {
  const std::size_t length = Characters(text);
  if (length <= longest) return std::string(text);
  return std::string(text.substr(0, BytesOf(text, longest - 1 - tail))) + "\xE2\x80\xA6" +
         std::string(text.substr(BytesOf(text, length - tail)));
}

// A file name cut so that it leaves room on its line for the next, and two
// versions of one stadium stay apart ("amst_community_nig…edition_v1.o").
std::string ShortName(std::string_view name) { return CutInMiddle(name, 32, 12); }

// A folder's path in at most two lines of the message.
std::string ShortPath(std::string_view path) { return CutInMiddle(path, 2 * kMessageColumns - 8, 40); }

// The packer's line, in at most two lines of the message after what
// introduces it.
std::string ShortLine(std::string_view line) { return Shortened(line, 2 * kMessageColumns - 16); }

// Breaks a paragraph into lines of at most kMessageColumns characters at
// blanks; a word longer than a line is cut. The message box would wrap long
// lines itself, but at a width of its own choosing: counting the lines here
// is what keeps the box on the screen.
std::string Wrapped(std::string_view paragraph) {
  std::string out;
  std::size_t column = 0;
  std::size_t at = 0;
  while (at < paragraph.size()) {
    const std::size_t blank = paragraph.find(' ', at);
    std::string_view word = paragraph.substr(at, blank == std::string_view::npos ? std::string_view::npos : blank - at);
    at = blank == std::string_view::npos ? paragraph.size() : blank + 1;
    if (word.empty()) continue;
    while (!word.empty()) {
      const std::size_t length = Characters(word);
      if (column > 0 && column + 1 + length <= kMessageColumns) {
        out += ' ';
        out += word;
        column += 1 + length;
        break;
      }
      if (column > 0) {
        out += '\n';
        column = 0;
      }
      if (length <= kMessageColumns) {
        out += word;
        column = length;
        break;
      }
      const std::size_t cut = BytesOf(word, kMessageColumns);
      out += word.substr(0, cut);
      out += '\n';
      word.remove_prefix(cut);
    }
  }
  return out;
}

// Appends a paragraph on a line of its own.
void AddParagraph(std::string& text, std::string_view paragraph) {
  if (!text.empty()) text += '\n';
  text += Wrapped(paragraph);
}

std::string Count(std::size_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

// "a.o, b.o and 7 more", naming the first shown.
std::string NameList(std::span<const FailedFile* const> files, std::size_t shown) {
  std::string list;
  for (std::size_t i = 0; i < shown && i < files.size(); ++i) {
    if (i > 0) list += ", ";
    list += ShortName(files[i]->name);
  }
  if (files.size() > shown) list += " and " + std::to_string(files.size() - shown) + " more";
  return list;
}

// "340 KB", "25 MB": what is needed rounded up, what is free rounded down,
// so that freeing the difference is always enough.
std::string Bytes(std::uintmax_t n, bool round_up) {
  constexpr std::uintmax_t kKilo = 1024;
  constexpr std::uintmax_t kMega = kKilo * kKilo;
  const std::uintmax_t unit = n < kMega ? kKilo : kMega;
  return std::to_string((n + (round_up ? unit - 1 : 0)) / unit) + (unit == kKilo ? " KB" : " MB");
}

// Each text once, in the order first met.
void AddOnce(std::vector<std::string>& list, std::string text) {
  if (std::find(list.begin(), list.end(), text) == list.end()) list.push_back(std::move(text));
}

// "a", "a and b", "a, b and c".
std::string Listed(const std::vector<std::string>& items) {
  std::string list;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) list += i + 1 == items.size() ? " and " : ", ";
    list += items[i];
  }
  return list;
}

// "zdata_05.big", "zdata_05.big and zdata_06.big": the archives the files
// of a group were going to.
std::string Archives(std::span<const FailedFile* const> files) {
  std::vector<std::string> names;
  for (const FailedFile* f : files) AddOnce(names, f->archive);
  std::sort(names.begin(), names.end());
  return Listed(names);
}

// One paragraph of the message: the files of one cause (for Other, of one
// line of the packer's) and what to do.
struct Group {
  FailureCause cause;
  std::vector<const FailedFile*> files;
  std::size_t shown = 0;
};

void InUseText(std::string& text, const Group&, const std::string& names) {
  AddParagraph(text, "In use by another program: " + names);
  AddParagraph(text, "Close the game, or a program that may be scanning or syncing the game's folder (an antivirus, "
                     "OneDrive), then start Tessolo again.");
}

constexpr std::string_view kRunAsAdministrator = "Right-click tessolo.exe and choose \"Run as administrator\".";
constexpr std::string_view kStartAgain = ", then start Tessolo again.";

// What to do about one read-only file, or several.
std::string ClearReadOnly(bool one) {
  return std::string("clear \"Read-only\" in ") + (one ? "its" : "their") + " Properties" + std::string(kStartAgain);
}

// What refused each write, grouped: read-only archives by name, read-only
// stadium files as such, folders and files this user may not change by
// their paths; administrator's rights are advised only where they may help.
void AccessDeniedText(std::string& text, const Group& g, const std::string& names) {
  AddParagraph(text, "Access denied: " + names);
  std::vector<std::string> archives, folders, files, unknown;
  std::size_t stadiums = 0;
  const FailedFile* stadium = nullptr;
  bool administrator = false;
  for (const FailedFile* f : g.files) {
    switch (f->refusal) {
      case WriteRefusal::kReadOnlyFile:
        if (f->step == PackerStep::Import) {
          AddOnce(archives, f->archive);
        } else {
          ++stadiums;
          stadium = f;
        }
        continue;
      case WriteRefusal::kFolderNotWritable: AddOnce(folders, ShortPath(f->refused)); break;
      case WriteRefusal::kFileNotWritable: AddOnce(files, ShortPath(f->refused)); break;
      case WriteRefusal::kUnknown: AddOnce(unknown, f->packer_line); break;
    }
    administrator = administrator || f->administrator_helps;
  }
  if (!archives.empty()) {
    const bool one = archives.size() == 1;
    AddParagraph(text, (one ? "The game's archive " : "The game's archives ") + Listed(archives) +
                           (one ? " is" : " are") + " read-only (copied from a CD?): " + ClearReadOnly(one));
  }
  if (stadiums > 0) {
    AddParagraph(text, (stadiums == 1 ? "The stadium file " + ShortName(stadium->name) + " is"
                                      : std::to_string(stadiums) + " stadium files are") +
                           " read-only: " + ClearReadOnly(stadiums == 1));
  }
  for (const std::string& folder : folders) {
    AddParagraph(text, "Windows does not let you change files in the folder " + folder + ".");
  }
  for (const std::string& file : files) AddParagraph(text, "Windows does not let you change " + file + ".");
  if (!unknown.empty()) AddParagraph(text, "gfxpak says: " + ShortLine(unknown.front()));
  if (administrator) {
    AddParagraph(text, kRunAsAdministrator);
  } else if (!folders.empty() || !files.empty()) {
    AddParagraph(text, "Give your user the right to change " + std::string(folders.empty() && files.size() == 1 ? "it" : "them") +
                           " (Properties, Security)" + std::string(kStartAgain));
  }
}

void NoSpaceText(std::string& text, const Group& g, const std::string& names, const RunOutcome& outcome) {
  // Each file goes into the archive about as large as it is, and the one
  // being compressed needs a copy of itself for a moment.
  std::uintmax_t needed = 0;
  std::uintmax_t largest = 0;
  for (const FailedFile* f : g.files) {
    needed += f->size;
    largest = std::max(largest, f->size);
  }
  needed += largest;
  AddParagraph(text, "Not enough space on " + (outcome.drive.empty() ? "the drive" : "drive " + outcome.drive) +
                         " for " + names);
  std::string action = (g.files.size() == 1 ? "It needs about " : "They need about ") + Bytes(needed, true);
  if (outcome.available) action += "; the drive has " + Bytes(*outcome.available, false) + " free";
  AddParagraph(text, action + ". Make room, then start Tessolo again.");
}

void DamagedText(std::string& text, const Group& g, const std::string& names) {
  const std::string archives = Archives(g.files);
  AddParagraph(text, "Damaged archive " + archives + ": " + names);
  AddParagraph(text, "gfxpak says: " + ShortLine(g.files.front()->packer_line));
  AddParagraph(text, "Put back the game's own " + archives + " (from its CD or a backup), then start Tessolo again.");
}

void EmptyText(std::string& text, const Group& g, const std::string& names) {
  const bool one = g.files.size() == 1;
  AddParagraph(text, (one ? "Empty, no stadium in it: " : "Empty, no stadium in them: ") + names);
  AddParagraph(text, one ? "Download it again." : "Download them again.");
}

void OtherText(std::string& text, const Group& g, const std::string& names) {
  AddParagraph(text, "gfxpak failed on " + names + ":");
  AddParagraph(text, ShortLine(g.files.front()->packer_line));
}

std::string Summary(const RunOutcome& outcome) {
  const std::size_t failed = outcome.failed.size();
  if (outcome.imported == 0) {
    if (outcome.total == 1) return Wrapped("The file was not imported; it is still in the data folder.");
    return Wrapped("None of the " + std::to_string(outcome.total) +
                   " files was imported; they are still in the data folder.");
  }
  return Wrapped(std::to_string(outcome.imported) + " of " +
                 Count(static_cast<std::size_t>(outcome.total), "file", "files") +
                 (outcome.imported == 1 ? " was" : " were") + " imported; " + std::to_string(failed) +
                 (failed == 1 ? " was not and is" : " were not and are") + " still in the data folder.");
}

// How much a message tells: the number of files it names, of the packer's
// other lines it shows, and whether a blank line parts the groups.
struct Detail {
  std::size_t names;
  std::size_t other_lines;
  bool blank_lines;
};

// One group per cause, in the order a player meets them: a running game
// first, the packer's own words last; Other splits by the packer's line, as
// many of them as detail shows. unshown counts the files of the Other lines
// beyond those.
std::vector<Group> GroupByCause(const RunOutcome& outcome, const Detail& detail, std::size_t& unshown) {
  constexpr std::array kOrder{FailureCause::InUse, FailureCause::AccessDenied, FailureCause::NoSpace,
                              FailureCause::Damaged, FailureCause::EmptyFile};
  std::vector<Group> groups;
  for (const FailureCause cause : kOrder) {
    Group g{cause, {}, 0};
    for (const FailedFile& f : outcome.failed) {
      if (f.cause == cause) g.files.push_back(&f);
    }
    if (!g.files.empty()) groups.push_back(std::move(g));
  }
  unshown = 0;
  std::size_t other_lines = 0;
  for (const FailedFile& f : outcome.failed) {
    if (f.cause != FailureCause::Other) continue;
    auto same_line = std::find_if(groups.begin(), groups.end(), [&f](const Group& g) {
      return g.cause == FailureCause::Other && g.files.front()->packer_line == f.packer_line;
    });
    if (same_line != groups.end()) {
      same_line->files.push_back(&f);
    } else if (other_lines < detail.other_lines) {
      ++other_lines;
      groups.push_back(Group{FailureCause::Other, {&f}, 0});
    } else {
      ++unshown;
    }
  }
  return groups;
}

// Every group names one file, the first groups the rest of the names.
void ShareNames(std::vector<Group>& groups, std::size_t names) {
  std::size_t left = names > groups.size() ? names - groups.size() : 0;
  for (Group& g : groups) {
    const std::size_t more = std::min(left, g.files.size() - 1);
    g.shown = 1 + more;
    left -= more;
  }
}

std::string Compose(const RunOutcome& outcome, const Detail& detail) {
  std::size_t unshown_others = 0;
  std::vector<Group> groups = GroupByCause(outcome, detail, unshown_others);
  ShareNames(groups, detail.names);

  std::string text = Summary(outcome);
  for (const Group& g : groups) {
    if (detail.blank_lines) text += '\n';
    const std::string names = NameList(g.files, g.shown);
    switch (g.cause) {
      case FailureCause::InUse: InUseText(text, g, names); break;
      case FailureCause::AccessDenied: AccessDeniedText(text, g, names); break;
      case FailureCause::NoSpace: NoSpaceText(text, g, names, outcome); break;
      case FailureCause::Damaged: DamagedText(text, g, names); break;
      case FailureCause::EmptyFile: EmptyText(text, g, names); break;
      case FailureCause::Other: OtherText(text, g, names); break;
    }
  }
  if (unshown_others > 0) {
    if (detail.blank_lines) text += '\n';
    AddParagraph(text, "gfxpak failed on " + Count(unshown_others, "more file", "more files") + " for other reasons.");
  }
  return text;
}

std::size_t LineCount(std::string_view text) {
  return 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace

FailureCause CauseOf(const ProcessExit& exit) {
  if (exit.crashed) return FailureCause::Other;
  switch (static_cast<PackerExit>(exit.code)) {
    case PackerExit::kInUse: return FailureCause::InUse;
    case PackerExit::kAccessDenied: return FailureCause::AccessDenied;
    case PackerExit::kNoSpace: return FailureCause::NoSpace;
    case PackerExit::kDamaged: return FailureCause::Damaged;
    case PackerExit::kEmptyFile: return FailureCause::EmptyFile;
    default: return FailureCause::Other;
  }
}

std::string PackerLine(std::string_view errors, const ProcessExit& exit) {
  std::size_t at = 0;
  while (at < errors.size()) {
    std::size_t end = errors.find('\n', at);
    if (end == std::string_view::npos) end = errors.size();
    std::string_view line = errors.substr(at, end - at);
    at = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (line.empty()) continue;
    if (line.starts_with(kPackerPrefix)) line.remove_prefix(kPackerPrefix.size());
    return ShortLine(line);
  }
  return "gfxpak " + DescribeExit(exit);
}

std::string OutcomeCaption(std::int32_t imported, std::int32_t total) {
  return std::string(TESSOLO_CAPTION) + ": " + std::to_string(imported) + " of " + std::to_string(total) +
         (total == 1 ? " file" : " files") + " imported";
}

std::string OutcomeLabel(std::int32_t imported, std::int32_t total) {
  return std::to_string(imported) + " OF " + std::to_string(total) + " IMPORTED";
}

std::string FailureMessage(const RunOutcome& outcome) {
  // Less and less detail until the message fits: most runs fail for one or
  // two causes and get it all; should every cause come at once, the names
  // go first, then the packer's other lines, then the blank lines.
  constexpr std::array kDetails{Detail{kNamedFiles, 2, true}, Detail{0, 2, true}, Detail{0, 1, true},
                                Detail{0, 1, false}};
  std::string text;
  for (const Detail& detail : kDetails) {
    text = Compose(outcome, detail);
    if (LineCount(text) <= kMessageLines) return text;
  }
  // Past any run a player will meet; the box stays on the screen all the same.
  std::size_t end = 0;
  for (std::size_t line = 0; line + 1 < kMessageLines; ++line) end = text.find('\n', end) + 1;
  return text.substr(0, end) + "\xE2\x80\xA6";
}
