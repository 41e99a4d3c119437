#include "failure_report.h"

#include "packer_protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

namespace {

ProcessExit Exited(PackerExit code) { return ProcessExit{false, static_cast<std::uint32_t>(code)}; }

FailedFile Failed(std::string name, FailureCause cause, std::string archive = "zdata_05.big",
                  PackerStep step = PackerStep::Import, std::string line = {}) {
  FailedFile f;
  f.name = std::move(name);
  f.step = step;
  f.archive = std::move(archive);
  f.cause = cause;
  f.packer_line = std::move(line);
  return f;
}

RunOutcome Outcome(std::int32_t imported, std::vector<FailedFile> failed) {
  RunOutcome o;
  o.imported = imported;
  o.total = imported + static_cast<std::int32_t>(failed.size());
  o.failed = std::move(failed);
  return o;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (;;) {
    const std::size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) return lines;
    at = end + 1;
  }
}

std::size_t Characters(const std::string& line) {
  return static_cast<std::size_t>(
      std::count_if(line.begin(), line.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0u) != 0x80u; }));
}

TEST(FailureReport, TheCauseIsTheExitCode) {
  const std::pair<ProcessExit, FailureCause> cases[] = {
      {Exited(PackerExit::kInUse), FailureCause::InUse},
      {Exited(PackerExit::kAccessDenied), FailureCause::AccessDenied},
      {Exited(PackerExit::kNoSpace), FailureCause::NoSpace},
      {Exited(PackerExit::kDamaged), FailureCause::Damaged},
      {Exited(PackerExit::kEmptyFile), FailureCause::EmptyFile},
      {Exited(PackerExit::kRefused), FailureCause::Other},
      {Exited(PackerExit::kUsage), FailureCause::Other},
      {ProcessExit{false, 9}, FailureCause::Other},
      // A crash whose code happens to be a cause's is still a crash.
      {ProcessExit{true, 3}, FailureCause::Other},
  };
  for (const auto& [exit, cause] : cases) {
    EXPECT_EQ(CauseOf(exit), cause) << exit.crashed << " " << exit.code;
  }
}

TEST(FailureReport, ThePackersLine) {
  const std::string long_line(300, 'x');
  const struct {
    std::string errors;
    ProcessExit exit;
    std::string line;
  } cases[] = {
      {"gfxpak: zdata_05.big: archive is in use\r\n", Exited(PackerExit::kInUse), "zdata_05.big: archive is in use"},
      {"\r\n  \ngfxpak: first\nsecond\n", Exited(PackerExit::kRefused), "first"},
      {"no name in front", Exited(PackerExit::kRefused), "no name in front"},
      {"", Exited(PackerExit::kRefused), "gfxpak " + DescribeExit(Exited(PackerExit::kRefused))},
      {"", ProcessExit{true, 11}, "gfxpak " + DescribeExit(ProcessExit{true, 11})},
      {long_line, Exited(PackerExit::kRefused), std::string(79, 'x') + "\xE2\x80\xA6"},
  };
  for (const auto& c : cases) EXPECT_EQ(PackerLine(c.errors, c.exit), c.line) << c.errors;
}

TEST(FailureReport, TitleAndLabel) {
  EXPECT_EQ(OutcomeCaption(4, 6), "Tessolo FIFA2004: 4 of 6 files imported");
  EXPECT_EQ(OutcomeCaption(0, 1), "Tessolo FIFA2004: 0 of 1 file imported");
  EXPECT_EQ(OutcomeLabel(4, 6), "4 OF 6 IMPORTED");
  EXPECT_EQ(OutcomeLabel(0, 210), "0 OF 210 IMPORTED");
}

// Each cause with its words and its way out, as the player reads them.
// A write refused by what refused it, at the path given, where an
// administrator may help or not.
FailedFile Denied(std::string name, WriteRefusal refusal, std::string refused = {}, bool administrator = false,
                  PackerStep step = PackerStep::Import, std::string archive = "zdata_05.big") {
  FailedFile f = Failed(std::move(name), FailureCause::AccessDenied, std::move(archive), step,
                        "C:\\Games\\FIFA 2004\\data\\zdata_05.big.lock: cannot create: Access is denied.");
  f.refusal = refusal;
  f.refused = std::move(refused);
  f.administrator_helps = administrator;
  return f;
}

TEST(FailureReport, EachCauseSaysWhatToDo) {
  const std::string program_files_data = "C:\\Program Files (x86)\\EA SPORTS\\FIFA 2004\\data";
  FailedFile big = Failed("velo_x.o", FailureCause::NoSpace, "zdata_06.big");
  big.size = 20u << 20;
  FailedFile small = Failed("velo_y.h", FailureCause::NoSpace, "zdata_06.big");
  small.size = 3u << 20;
  RunOutcome space = Outcome(1, {big, small});
  space.drive = "D:";
  space.available = 1500u << 10;

  const struct {
    const char* what;
    RunOutcome outcome;
    std::string text;
  } cases[] = {
      {"the game holds an archive",
       Outcome(2, {Failed("velo_f.o", FailureCause::InUse, "zdata_06.big")}),
       "2 of 3 files were imported; 1 was not and is\n"
       "still in the data folder.\n"
       "\n"
       "In use by another program: velo_f.o\n"
       "Close the game, or a program that may be\n"
       "scanning or syncing the game's folder (an\n"
       "antivirus, OneDrive), then start Tessolo again."},
      {"read-only archives, named, not counted",
       Outcome(1, {Denied("bern_a.o", WriteRefusal::kReadOnlyFile),
                   Denied("velo_b.o", WriteRefusal::kReadOnlyFile, {}, false, PackerStep::Import, "zdata_06.big")}),
       "1 of 3 files was imported; 2 were not and are\n"
       "still in the data folder.\n"
       "\n"
       "Access denied: bern_a.o, velo_b.o\n"
       "The game's archives zdata_05.big and\n"
       "zdata_06.big are read-only (copied from a CD?):\n"
       "clear \"Read-only\" in their Properties, then\n"
       "start Tessolo again."},
      {"a read-only stadium file, as such",
       Outcome(0, {Denied("bern_a.o", WriteRefusal::kReadOnlyFile, {}, false, PackerStep::Compress)}),
       "The file was not imported; it is still in the\n"
       "data folder.\n"
       "\n"
       "Access denied: bern_a.o\n"
       "The stadium file bern_a.o is read-only: clear\n"
       "\"Read-only\" in its Properties, then start\n"
       "Tessolo again."},
      {"a data folder under Program Files",
       Outcome(0, {Denied("bern_a.o", WriteRefusal::kFolderNotWritable, program_files_data, true,
                          PackerStep::Compress),
                   Denied("bern_b.o", WriteRefusal::kFolderNotWritable, program_files_data, true)}),
       "None of the 2 files was imported; they are still\n"
       "in the data folder.\n"
       "\n"
       "Access denied: bern_a.o, bern_b.o\n"
       "Windows does not let you change files in the\n"
       "folder C:\\Program Files (x86)\\EA SPORTS\\FIFA\n"
       "2004\\data.\n"
       "Right-click tessolo.exe and choose \"Run as\n"
       "administrator\"."},
      {"a folder of the player's own that refuses: no administrator",
       Outcome(0, {Denied("bern_a.o", WriteRefusal::kFolderNotWritable, "D:\\FIFA\\data")}),
       "The file was not imported; it is still in the\n"
       "data folder.\n"
       "\n"
       "Access denied: bern_a.o\n"
       "Windows does not let you change files in the\n"
       "folder D:\\FIFA\\data.\n"
       "Give your user the right to change them\n"
       "(Properties, Security), then start Tessolo\n"
       "again."},
      {"an archive of another user's",
       Outcome(0, {Denied("bern_a.o", WriteRefusal::kFileNotWritable, "D:\\FIFA\\data\\zdata_05.big", true)}),
       "The file was not imported; it is still in the\n"
       "data folder.\n"
       "\n"
       "Access denied: bern_a.o\n"
       "Windows does not let you change\n"
       "D:\\FIFA\\data\\zdata_05.big.\n"
       "Right-click tessolo.exe and choose \"Run as\n"
       "administrator\"."},
      {"two files of another user's: no administrator",
       Outcome(0, {Denied("bern_a.o", WriteRefusal::kFileNotWritable, "D:\\FIFA\\data\\zdata_05.big"),
                   Denied("velo_b.o", WriteRefusal::kFileNotWritable, "D:\\FIFA\\data\\zdata_06.big")}),
       "None of the 2 files was imported; they are still\n"
       "in the data folder.\n"
       "\n"
       "Access denied: bern_a.o, velo_b.o\n"
       "Windows does not let you change\n"
       "D:\\FIFA\\data\\zdata_05.big.\n"
       "Windows does not let you change\n"
       "D:\\FIFA\\data\\zdata_06.big.\n"
       "Give your user the right to change them\n"
       "(Properties, Security), then start Tessolo\n"
       "again."},
      {"a refusal the disk does not explain: gfxpak's words",
       Outcome(0, {Denied("bern_a.o", WriteRefusal::kUnknown)}),
       "The file was not imported; it is still in the\n"
       "data folder.\n"
       "\n"
       "Access denied: bern_a.o\n"
       "gfxpak says: C:\\Games\\FIFA\n"
       "2004\\data\\zdata_05.big.lock: cannot create:\n"
       "Access is denied."},
      {"a full drive", space,
       "1 of 3 files was imported; 2 were not and are\n"
       "still in the data folder.\n"
       "\n"
       "Not enough space on drive D: for velo_x.o,\n"
       "velo_y.h\n"
       "They need about 43 MB; the drive has 1 MB free.\n"
       "Make room, then start Tessolo again."},
      {"a damaged archive",
       Outcome(0, {Failed("bern_a.o", FailureCause::Damaged, "zdata_05.big", PackerStep::Import,
                          "zdata_05.big: damaged archive (entry count too large)")}),
       "The file was not imported; it is still in the\n"
       "data folder.\n"
       "\n"
       "Damaged archive zdata_05.big: bern_a.o\n"
       "gfxpak says: zdata_05.big: damaged archive\n"
       "(entry count too large)\n"
       "Put back the game's own zdata_05.big (from its\n"
       "CD or a backup), then start Tessolo again."},
      {"an empty file",
       Outcome(5, {Failed("west_x.h", FailureCause::EmptyFile, "zdata_05.big", PackerStep::Compress)}),
       "5 of 6 files were imported; 1 was not and is\n"
       "still in the data folder.\n"
       "\n"
       "Empty, no stadium in it: west_x.h\n"
       "Download it again."},
      {"long names cut in their middle, so that two versions stay apart",
       Outcome(0, {Failed("amst_community_night_edition_v1.o", FailureCause::EmptyFile),
                   Failed("amst_community_night_edition_v2.o", FailureCause::EmptyFile)}),
       "None of the 2 files was imported; they are still\n"
       "in the data folder.\n"
       "\n"
       "Empty, no stadium in them:\n"
       "amst_community_nigh\xE2\x80\xA6" "edition_v1.o,\n"
       "amst_community_nigh\xE2\x80\xA6" "edition_v2.o\n"
       "Download them again."},
      {"the packer's own words for anything else, by line",
       Outcome(0, {Failed("a_1.h", FailureCause::Other, "zdata_06.big", PackerStep::Import, "line one"),
                   Failed("a_2.h", FailureCause::Other, "zdata_06.big", PackerStep::Import, "line two"),
                   Failed("a_3.h", FailureCause::Other, "zdata_06.big", PackerStep::Import, "line one"),
                   Failed("a_4.h", FailureCause::Other, "zdata_06.big", PackerStep::Import, "line three"),
                   Failed("a_5.h", FailureCause::Other, "zdata_06.big", PackerStep::Import, "line four")}),
       "None of the 5 files was imported; they are still\n"
       "in the data folder.\n"
       "\n"
       "gfxpak failed on a_1.h, a_3.h:\n"
       "line one\n"
       "\n"
       "gfxpak failed on a_2.h:\n"
       "line two\n"
       "\n"
       "gfxpak failed on 2 more files for other reasons."},
  };
  for (const auto& c : cases) EXPECT_EQ(FailureMessage(c.outcome), c.text) << c.what;
}

// A hundred files held by the game: ten named, the rest counted, and the
// groups after the first still name theirs.
TEST(FailureReport, NamesTenFilesAndCountsTheRest) {
  std::vector<FailedFile> failed;
  for (int i = 0; i < 100; ++i) failed.push_back(Failed("velo_" + std::to_string(100 + i) + ".o", FailureCause::InUse));
  failed.push_back(Failed("west_x.h", FailureCause::EmptyFile));
  std::string text = FailureMessage(Outcome(110, failed));
  std::replace(text.begin(), text.end(), '\n', ' ');
  const std::regex name(R"((velo_\d+\.o|west_x\.h))");
  EXPECT_EQ(std::distance(std::sregex_iterator(text.begin(), text.end(), name), std::sregex_iterator()), 10) << text;
  EXPECT_NE(text.find("velo_108.o and 91 more"), std::string::npos) << text;
  EXPECT_NE(text.find("Empty, no stadium in it: west_x.h"), std::string::npos) << text;
  EXPECT_NE(text.find("110 of 211 files were imported; 101 were not"), std::string::npos) << text;
  EXPECT_EQ(text.find("velo_109.o"), std::string::npos) << "an eleventh name: " << text;
}

// Every cause at once, hundreds of files with the longest names and the
// packer's longest lines: still a box that fits 1024 x 768 at 144 dpi, where
// the message box's font (9 points, 18 pixels to a line there) leaves room for
// about 28 lines besides its title, margins and button.
TEST(FailureReport, TheWorstCaseFitsTheScreen) {
  const std::string long_line(400, 'e');
  std::vector<FailedFile> failed;
  const FailureCause causes[] = {FailureCause::InUse,   FailureCause::AccessDenied, FailureCause::NoSpace,
                                 FailureCause::Damaged, FailureCause::EmptyFile,    FailureCause::Other};
  int n = 0;
  for (const FailureCause cause : causes) {
    for (int i = 0; i < 60; ++i, ++n) {
      FailedFile f = Failed("bern_" + std::string(200, 'x') + std::to_string(n) + ".o", cause,
                            n % 2 ? "zdata_05.big" : "zdata_06.big", n % 3 ? PackerStep::Import : PackerStep::Compress,
                            long_line + std::to_string(n % 7));
      f.refusal = static_cast<WriteRefusal>(n % 4);
      f.refused = "C:\\" + std::string(300, 'f') + std::to_string(n % 3);
      f.administrator_helps = n % 5 == 0;
      f.size = 700u << 20;
      failed.push_back(std::move(f));
    }
  }
  RunOutcome outcome = Outcome(32000, failed);
  outcome.drive = "\\\\server\\share";
  outcome.available = 1;
  const std::string text = FailureMessage(outcome);
  const std::vector<std::string> lines = Lines(text);
  EXPECT_LE(lines.size(), 28u) << text;
  for (const std::string& line : lines) EXPECT_LE(Characters(line), kMessageColumns) << line;
}

}  // namespace
