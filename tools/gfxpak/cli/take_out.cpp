#include "take_out.h"

#include <algorithm>
#include <charconv>
#include <memory>
#include <string_view>

#include "archive_ops.h"
#include "archive_reading.h"
#include "big_archive.h"
#include "path_names.h"
#include "restore_checks.h"

namespace gfxpak {

namespace {

constexpr std::string_view kInUseAdvice =
    "Close the game (or a program that may be scanning or syncing the game's folder, such as an antivirus or "
    "OneDrive), then run this again.";

// What gfxpak can tell of one archive without changing it.
struct Survey {
  enum class Kind {
    kMissing,
    kNoRestorePoint,  // the game's original, or never changed by gfxpak
    kCounted,         // origins says which entries imports replaced or added
    // The restore point can put the original back, but which entries
    // imports changed is not known: an update or a restore was cut short.
    kUncounted,
    kUnusable,  // problem says why
  };
  std::string path;
  Kind kind = Kind::kMissing;
  Archive table;
  std::vector<Origin> origins;
  Status problem;
};

// Reads as -l does: a reader of the archive and its restore point, so that
// the player is told what will happen before anything is written.
Survey Look(FileSystem& fs, const std::string& path) {
  using Kind = Survey::Kind;
  Survey survey;
  survey.path = path;
  if (!fs.Exists(path)) return survey;
  survey.kind = Kind::kUnusable;
  Reading r;
  if (Status s = OpenForReading(fs, path, r); !s.ok()) {
    survey.problem = s;
    return survey;
  }
  const Status table = InFile(ReadArchive(r.view(), survey.table), path);
  if (r.no_restore_point()) {
    survey.problem = table;
    if (table.ok()) survey.kind = Kind::kNoRestorePoint;
    return survey;
  }
  if (Status usable = UsableRestorePoint(r); !usable.ok()) {
    survey.problem = InFile(usable, RestorePathFor(path));
    return survey;
  }
  // A table that an update cut short may be unreadable; restoring mends it.
  survey.kind = Kind::kUncounted;
  if (table.ok() && r.point->state == RestoreState::kIdle &&
      CompareWithOriginal(*r.journal, *r.file, *r.point, survey.table, survey.origins).ok()) {
    survey.kind = Kind::kCounted;
  }
  return survey;
}

std::string Counted(std::size_t n, std::string_view one, std::string_view many) {
  std::string text = std::to_string(n);
  text += ' ';
  text += n == 1 ? one : many;
  return text;
}

// A file, an entry or an archive as the player knows it: by its bare name.
std::string Shown(const std::string& name) { return Printable(BareName(name)); }

// How many columns a UTF-8 name takes on the console.
std::size_t Width(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

std::string Padded(std::string text, std::size_t width) {
  const std::size_t has = Width(text);
  if (has < width) text.append(width - has, ' ');
  return text;
}

// Writes text as lines of at most 79 columns, which an 80-column console
// shows without breaking words; the first line is indented by indent, the
// others, when it is an item of a list, by two more.
void Say(std::ostream& out, std::string_view text, std::size_t indent = 0) {
  constexpr std::size_t kColumns = 79;
  std::size_t column = 0;
  std::size_t at = 0;
  bool first = true;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    const std::string_view word = text.substr(at, end - at);
    at = end + 1;
    if (word.empty()) continue;
    if (column > 0 && column + 1 + Width(word) > kColumns) {
      out << '\n';
      column = 0;
    }
    if (column == 0) {
      const std::size_t margin = first || indent == 0 ? indent : indent + 2;
      out << std::string(margin, ' ');
      column = margin;
      first = false;
    } else {
      out << ' ';
      ++column;
    }
    out << word;
    column += Width(word);
  }
  out << '\n';
}

// The advice for a failure's cause; gfxpak's own line says the rest.
std::string_view AdviceFor(const Error& error) {
  switch (ExitCodeOf(error)) {
    case PackerExit::kInUse: return kInUseAdvice;
    case PackerExit::kAccessDenied:
      return "Windows did not allow the change. If the archive is read-only (right-click it, Properties), clear "
             "\"Read-only\", then run this again.";
    case PackerExit::kNoSpace: return "The drive is full: make room on it, then run this again.";
    case PackerExit::kDamaged:
      return "The archive is damaged: put back the game's own copy of it, from the game's CD or a backup.";
    default: return {};
  }
}

// what: "zdata_05.big: nothing was taken out", say.
void TellProblem(std::ostream& out, const std::string& what, const Error& error) {
  std::string line = what;
  if (ExitCodeOf(error) == PackerExit::kInUse) {
    line += ": it is in use by another program.";
  } else {
    line += ". gfxpak says: ";
    line += Describe(error);
  }
  Say(out, line, 2);
  if (const std::string_view advice = AdviceFor(error); !advice.empty()) Say(out, advice, 2);
}

// A line of the player's answer, without the spaces around it.
bool ReadAnswer(std::istream& in, std::string& line) {
  if (!std::getline(in, line)) return false;
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!line.empty() && blank(line.back())) line.pop_back();
  line.erase(line.begin(), std::find_if_not(line.begin(), line.end(), blank));
  return true;
}

// Yes only for "y" or "yes": end of input, Enter alone or anything else is
// no, so that an answer nobody gave changes nothing.
bool AskYes(std::istream& in, std::ostream& out, const std::string& question) {
  out << question << " (y/N) " << std::flush;
  std::string answer;
  const bool answered = ReadAnswer(in, answer);
  // Apart from what follows, whether or not the console echoed the answer.
  out << '\n';
  if (!answered) return false;
  std::transform(answer.begin(), answer.end(), answer.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
  return answer == "y" || answer == "yes";
}

// Marks the list's entries that the player chose by their numbers ("2 5",
// "1,3", "2-4"); false, with the word, at the first word that names none.
bool ParseChoice(std::string_view line, std::vector<bool>& chosen, std::string& bad) {
  const auto number = [&](std::string_view word, std::size_t& n) {
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), n);
    return error == std::errc() && end == word.data() + word.size() && n >= 1 && n <= chosen.size();
  };
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t end = std::min(line.find_first_of(" ,;\t", at), line.size());
    const std::string_view word = line.substr(at, end - at);
    at = end + 1;
    if (word.empty()) continue;
    const std::size_t dash = word.find('-');
    std::size_t first = 0;
    std::size_t last = 0;
    const bool ok = dash == std::string_view::npos
                        ? number(word, first) && number(word, last)
                        : number(word.substr(0, dash), first) && number(word.substr(dash + 1), last) && first <= last;
    if (!ok) {
      bad = word;
      return false;
    }
    for (std::size_t n = first; n <= last; ++n) chosen[n - 1] = true;
  }
  return true;
}

class TakeOutRun {
 public:
  TakeOutRun(FileSystem& fs, const TakeOutRequest& request, std::istream& in, std::ostream& out,
             const SettledNote& settled)
      : fs_(fs), request_(request), in_(in), out_(out), settled_(settled) {
    for (const std::string& path : request.archives) surveys_.push_back(Look(fs, path));
  }

  Status Run() {
    if (std::all_of(surveys_.begin(), surveys_.end(), [](const Survey& s) { return s.kind == Survey::Kind::kMissing; })) {
      std::string line = Joined(request_.archives, "and");
      line += surveys_.size() == 1 ? " is" : " are";
      line += " not in this folder, which should be the game's data folder.";
      Say(out_, line);
      return InFile(Fail(std::make_error_code(std::errc::no_such_file_or_directory)), request_.archives.front());
    }
    if (request_.everything) return Everything();
    return Chosen();
  }

 private:
  // An entry that imports replaced or added, in one of the archives.
  struct Pick {
    std::size_t archive;
    std::size_t entry;
  };

  const Survey& SurveyOf(const Pick& pick) const { return surveys_[pick.archive]; }
  const std::string& NameOf(const Pick& pick) const { return SurveyOf(pick).table.entries[pick.entry].name; }
  Origin OriginOf(const Pick& pick) const { return SurveyOf(pick).origins[pick.entry]; }

  static std::string Joined(const std::vector<std::string>& words, std::string_view last_word) {
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i) {
      // Appended piece by piece: gcc 12 warns falsely on chained string additions.
      if (i > 0 && i + 1 == words.size()) {
        text += ' ';
        text += last_word;
        text += ' ';
      } else if (i > 0) {
        text += ", ";
      }
      text += Printable(words[i]);
    }
    return text;
  }

  // "zdata_05.big: " and the rest, as one line of the plan or the outcome.
  void SayOf(const std::string& archive, std::string_view rest) {
    std::string line = Printable(archive);
    line += ": ";
    line += rest;
    Say(out_, line, 2);
  }

  void Failed(const Status& status) {
    if (first_failure_.ok()) first_failure_ = status;
  }

  // The archives that cannot be looked into, each with its reason, and
  // those whose imported entries cannot be told apart.
  void TellUnreadable() {
    for (const Survey& s : surveys_) {
      if (s.kind == Survey::Kind::kUnusable) {
        TellProblem(out_, Shown(s.path) + ": cannot be looked into", s.problem.error());
        Failed(s.problem);
      } else if (s.kind == Survey::Kind::kUncounted) {
        SayOf(BareName(s.path),
              "an import or a restore was cut short, so gfxpak cannot tell which stadiums are in it; the next "
              "import settles it, and restore-original-archives.cmd puts the whole original back");
      }
    }
  }

  std::vector<Pick> Imported() const {
    std::vector<Pick> picks;
    for (std::size_t a = 0; a < surveys_.size(); ++a) {
      if (surveys_[a].kind != Survey::Kind::kCounted) continue;
      for (std::size_t e = 0; e < surveys_[a].origins.size(); ++e) {
        if (surveys_[a].origins[e] != Origin::kOriginal) picks.push_back({a, e});
      }
    }
    return picks;
  }

  void SayWillHappen(const Pick& pick) {
    const std::string name = Shown(NameOf(pick));
    std::string line = name;
    line += ": ";
    if (OriginOf(pick) == Origin::kReplaced) {
      line += Shown(SurveyOf(pick).path);
      line += " will get the game's own ";
      line += name;
      line += " back";
    } else {
      line += "will be taken out of ";
      line += Shown(SurveyOf(pick).path);
    }
    Say(out_, line, 2);
  }

  Status Chosen() {
    std::vector<Pick> picks;
    if (request_.files.empty()) {
      if (!ChooseFromList(picks)) return first_failure_;
    } else if (!MatchDropped(picks)) {
      return first_failure_;
    }
    Say(out_, "Close the game before you go on.");
    const std::string question = picks.size() == 1 ? "Take out this stadium file?"
                                                    : "Take out these " + std::to_string(picks.size()) +
                                                          " stadium files?";
    if (!AskYes(in_, out_, question)) {
      Say(out_, "Nothing was changed.");
      return first_failure_;
    }
    for (std::size_t a = 0; a < surveys_.size(); ++a) {
      std::vector<std::string> names;
      for (const Pick& pick : picks) {
        if (pick.archive == a) names.push_back(NameOf(pick));
      }
      if (!names.empty()) TakeOutOf(surveys_[a].path, names);
    }
    if (first_failure_.ok()) {
      Say(out_, "Done. To put a stadium in again, copy its file into the data folder and start Tessolo.");
    }
    return first_failure_;
  }

  // The dropped files, each by its bare name, matched against the entries
  // that imports replaced or added. False when none is there.
  bool MatchDropped(std::vector<Pick>& picks) {
    const std::vector<Pick> imported = Imported();
    std::vector<std::string> searched;
    for (const Survey& s : surveys_) {
      if (s.kind == Survey::Kind::kCounted || s.kind == Survey::Kind::kNoRestorePoint) searched.push_back(BareName(s.path));
    }
    Say(out_, "Taking stadium files out of the game's archives:");
    TellUnreadable();
    std::vector<std::string> seen;
    for (const std::string& file : request_.files) {
      const std::string name = BareName(file);
      const std::string key = NormalizeName(name);
      if (name.empty() || std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
      seen.push_back(key);
      bool found = false;
      for (const Pick& pick : imported) {
        if (NormalizeName(BareName(NameOf(pick))) != key) continue;
        found = true;
        picks.push_back(pick);
        SayWillHappen(pick);
      }
      if (!found && !searched.empty()) {
        SayOf(name, "not imported into " + Joined(searched, "or") + ", nothing to do");
      }
    }
    if (picks.empty()) Say(out_, "Nothing to take out; nothing was changed.");
    return !picks.empty();
  }

  // The numbered list of every entry that imports replaced or added; the
  // player types the numbers. False when there is none, or none is chosen.
  bool ChooseFromList(std::vector<Pick>& picks) {
    const std::vector<Pick> imported = Imported();
    Say(out_, "Stadium files that imports put into the game's archives:");
    TellUnreadable();
    if (imported.empty()) {
      Say(out_, "none", 2);
      Say(out_, "Nothing to take out; nothing was changed.");
      return false;
    }
    std::size_t name_width = 0;
    std::size_t archive_width = 0;
    for (const Pick& pick : imported) {
      name_width = std::max(name_width, Width(Shown(NameOf(pick))));
      archive_width = std::max(archive_width, Width(Shown(SurveyOf(pick).path)));
    }
    const std::string count = std::to_string(imported.size());
    for (std::size_t i = 0; i < imported.size(); ++i) {
      const Pick& pick = imported[i];
      const std::string number = std::to_string(i + 1);
      out_ << std::string(count.size() + 2 - number.size(), ' ') << number << "  "
           << Padded(Shown(NameOf(pick)), name_width) << "  " << Padded(Shown(SurveyOf(pick).path), archive_width)
           << "  " << (OriginOf(pick) == Origin::kReplaced ? "replaced the game's own" : "added") << '\n';
    }
    std::vector<bool> chosen;
    for (;;) {
      Say(out_, "Type the numbers of those to take out (such as 1 3, or 2-4), then press Enter.");
      out_ << "Enter alone takes none out: " << std::flush;
      std::string line;
      ReadAnswer(in_, line);
      out_ << '\n';
      chosen.assign(imported.size(), false);
      std::string bad;
      if (ParseChoice(line, chosen, bad)) break;
      std::string complaint = "\"";
      complaint += Printable(bad);
      complaint += "\" is not a number from 1 to ";
      complaint += count;
      complaint += '.';
      Say(out_, complaint);
    }
    for (std::size_t i = 0; i < imported.size(); ++i) {
      if (chosen[i]) picks.push_back(imported[i]);
    }
    if (picks.empty()) {
      Say(out_, "None chosen; nothing was changed.");
      return false;
    }
    Say(out_, "Taking stadium files out of the game's archives:");
    for (const Pick& pick : picks) SayWillHappen(pick);
    return true;
  }

  void TakeOutOf(const std::string& path, const std::vector<std::string>& names) {
    EntriesRestored done;
    Settlement settled;
    const Status status = RestoreEntries(fs_, path, names, done, &settled);
    settled_(path, settled);
    for (const std::string& name : done.replaced) SayOf(Shown(name), "the game's own is back in " + Shown(path));
    for (const std::string& name : done.removed) SayOf(Shown(name), "out of " + Shown(path));
    if (!status.ok()) {
      const bool some = !done.replaced.empty() || !done.removed.empty();
      TellProblem(out_, Shown(path) + (some ? ": the others were not taken out" : ": nothing was taken out"),
                  status.error());
      Failed(status);
      return;
    }
    if (done.original) {
      SayOf(BareName(path),
            "no imported stadium is left in it; it is the game's original again, and its restore point is deleted");
    }
  }

  // Every archive with a restore point back to its original, after saying
  // what goes from each.
  Status Everything() {
    using Kind = Survey::Kind;
    Say(out_, "Putting the game's archives back as they were before the first import:");
    std::vector<const Survey*> offered;
    for (const Survey& s : surveys_) {
      switch (s.kind) {
        case Kind::kMissing: SayOf(BareName(s.path), "not in this folder, nothing to do"); break;
        case Kind::kNoRestorePoint:
          SayOf(BareName(s.path), "no restore point, nothing to do (it is the game's original, or gfxpak never changed it)");
          break;
        case Kind::kUnusable:
          TellProblem(out_, Shown(s.path) + ": cannot be put back", s.problem.error());
          Failed(s.problem);
          break;
        case Kind::kUncounted:
          SayOf(BareName(s.path),
                "every stadium imported into it goes (an import or a restore was cut short, so they cannot be "
                "counted)");
          offered.push_back(&s);
          break;
        case Kind::kCounted:
          SayOf(BareName(s.path), WhatGoes(s));
          offered.push_back(&s);
          break;
      }
    }
    if (offered.empty()) {
      if (first_failure_.ok()) Say(out_, "Nothing to do.");
      return first_failure_;
    }
    Say(out_, "The imported stadium files do not come back: keep your downloads, to put them in again.");
    Say(out_, "Close the game before you go on.");
    const std::string question = offered.size() == 1 ? "Put the original " + Shown(offered.front()->path) + " back?"
                                                     : "Put the original archives back?";
    if (!AskYes(in_, out_, question)) {
      Say(out_, "Nothing was changed.");
      return first_failure_;
    }
    for (const Survey* s : offered) {
      WholeRestore done;
      Settlement settled;
      const Status status = RestoreArchive(fs_, s->path, Force::kNo, done, &settled);
      settled_(s->path, settled);
      if (status.ok()) {
        SayOf(BareName(s->path), "the game's original again");
      } else {
        TellProblem(out_, Shown(s->path) + ": not put back", status.error());
        Failed(status);
      }
    }
    if (first_failure_.ok()) Say(out_, "Done.");
    return first_failure_;
  }

  // How many entries imports replaced and added: "3 imported stadium files
  // go (1 replaced the game's own, which comes back; 2 added)".
  static std::string WhatGoes(const Survey& s) {
    const auto replaced = static_cast<std::size_t>(std::count(s.origins.begin(), s.origins.end(), Origin::kReplaced));
    const auto added = static_cast<std::size_t>(std::count(s.origins.begin(), s.origins.end(), Origin::kAdded));
    if (replaced + added == 0) return "no imported stadium file is in it; it goes back to the original";
    std::string text = Counted(replaced + added, "imported stadium file goes", "imported stadium files go");
    text += " (";
    if (replaced > 0) {
      text += std::to_string(replaced);
      text += replaced == 1 ? " replaced the game's own, which comes back" : " replaced the game's own, which come back";
    }
    if (replaced > 0 && added > 0) text += "; ";
    if (added > 0) {
      text += std::to_string(added);
      text += " added";
    }
    text += ')';
    return text;
  }

  FileSystem& fs_;
  const TakeOutRequest& request_;
  std::istream& in_;
  std::ostream& out_;
  const SettledNote& settled_;
  std::vector<Survey> surveys_;
  Status first_failure_;
};

}  // namespace

Status TakeOut(FileSystem& fs, const TakeOutRequest& request, std::istream& in, std::ostream& out,
               const SettledNote& settled) {
  return TakeOutRun(fs, request, in, out, settled).Run();
}

}  // namespace gfxpak
