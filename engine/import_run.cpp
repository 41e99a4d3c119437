#include "import_run.h"

#include "command_line.h"
#include "failure_report.h"
#include "hold_wait.h"
#include "indicators.h"
#include "packer_protocol.h"
#include "paths.h"
#include "process_runner.h"
#include "select_archive.h"

#include <chrono>
#include <map>
#include <set>
#include <thread>
#include <vector>

namespace {

// The window style of both commands: no visible window.
const ShellParm kHidden = std::int16_t{0};

void Fail(WindowOps& window, const std::string& text) {
  window.ShowMessage(kMainCaption, text, MessageKind::Error);
  window.EndProgram(kFailureExitCode);
}

// What refused the writes of files whose commands were denied access: the
// file the command writes (the copy of the archive that the game reads, or
// the stadium file), its folder, and whether an administrator may write
// there. Asked once per file written.
void WhyDenied(std::vector<FailedFile>& failed, const std::string& data, Disk& disk) {
  struct Found {
    WriteRefusal refusal;
    std::string refused;
    bool administrator_helps;
  };
  std::map<std::string, Found> asked;
  for (FailedFile& f : failed) {
    if (f.cause != FailureCause::AccessDenied) continue;
    const std::string written =
        f.step == PackerStep::Import ? disk.CopyTheGameReads(JoinPath(data, f.archive)) : JoinPath(data, f.name);
    auto it = asked.find(written);
    if (it == asked.end()) {
      const WriteRefusal refusal = disk.WhyRefused(written);
      const std::string folder = FolderOf(written);
      Found found{refusal, refusal == WriteRefusal::kFolderNotWritable ? folder : written,
                  disk.AdministratorMayHelp(folder)};
      it = asked.emplace(written, std::move(found)).first;
    }
    f.refusal = it->second.refusal;
    f.refused = it->second.refused;
    f.administrator_helps = it->second.administrator_helps;
  }
}

// What the message about the failed files needs to know of the disk: what
// refused the writes, how large the files are and how much room their
// drive has. Asked once, after the run.
RunOutcome OutcomeOnDisk(std::int32_t imported, std::int32_t total, std::vector<FailedFile> failed,
                         const std::string& data, Disk& disk) {
  RunOutcome outcome{imported, total, std::move(failed), DriveOf(data), disk.FreeSpace(data)};
  for (FailedFile& f : outcome.failed) f.size = disk.FileSize(JoinPath(data, f.name)).value_or(0);
  WhyDenied(outcome.failed, data, disk);
  return outcome;
}

enum class Command { Done, Failed, Ended };

// Whether the packer lies in the tool's folder, under its bare name or with
// the ending Windows adds: if it does, a start that failed was the system's
// doing (Wine, for one, now and then cannot start a program), not a missing
// file.
bool PackerIsThere(const ImportContext& context) {
  for (const std::string& name : {context.packer, context.packer + ".exe"}) {
    if (context.disk.IsFile(JoinPath(context.own_folder, name))) return true;
  }
  return false;
}

// Archives that another program held for longer than the packer waits. The
// game holds its archives for as long as it runs: each further file for such
// an archive is tried once, without the wait, so that a hundred of them do
// not cost the player minutes; once one goes in, they are waited for again.
class HeldArchives {
 public:
  ChildEnvironment For(const std::string& archive) const {
    if (held_.count(archive) == 0) return {};
    return {std::string(kHoldWaitVariable) + "=0"};
  }
  void Note(const std::string& archive, const ProcessExit& exit) {
    if (exit.Succeeded()) {
      held_.erase(archive);
    } else if (CauseOf(exit) == FailureCause::InUse) {
      held_.insert(archive);
    }
  }

 private:
  std::set<std::string> held_;
};

// A pause of the wait for a held file in which the window keeps answering.
void PauseAnswering(WindowOps& window, std::chrono::milliseconds pause) {
  const auto end = std::chrono::steady_clock::now() + pause;
  for (;;) {
    window.ProcessEvents();
    const auto left = end - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(15)));
  }
}

// Deletes an imported file, waiting out a program that holds it for a
// moment (a scanner looks at the file the packer has just written).
std::error_code DeleteImported(const std::string& path, WindowOps& window, Disk& disk) {
  return RetryWhileHeld([&] { return disk.Delete(path); },
                        [&](std::error_code error) { return error && disk.Held(error, path); }, kHoldWait,
                        [&](std::chrono::milliseconds pause) { PauseAnswering(window, pause); });
}

// Runs one packer command for the current file in the data folder, where
// the bare file and archive names of its command line are; a packer that
// cannot be started at all ends the program, as there is nothing the run
// can do then.
Command RunCommand(const std::string& line, PackerStep step, FormState& form, WindowOps& window,
                   const ImportContext& context, const std::string& data, std::vector<FailedFile>& failed,
                   HeldArchives* held = nullptr) {
  const std::string& name = form.filelist[static_cast<std::size_t>(form.fileidx)];
  const ChildEnvironment environment = held != nullptr ? held->For(form.bigname) : ChildEnvironment();
  const ShellResult result = ShellStop(line, kHidden, form, window, context.processes, data, environment);
  if (result.error) {
    Fail(window, "gfxpak could not be started for the file " + name + ":\n" + SystemErrorText(result.error) + "\n" +
                     (PackerIsThere(context) ? "gfxpak.exe is there; start Tessolo again. The files not imported yet "
                                               "are still in the data folder."
                                             : "gfxpak.exe belongs in the tool's folder, beside tessolo.exe."));
    return Command::Ended;
  }
  if (held != nullptr) held->Note(form.bigname, result.exit);
  if (!result.exit.Succeeded()) {
    FailedFile f;
    f.name = name;
    f.step = step;
    f.archive = form.bigname;
    f.cause = CauseOf(result.exit);
    f.packer_line = PackerLine(result.errors, result.exit);
    failed.push_back(std::move(f));
    return Command::Failed;
  }
  return Command::Done;
}

// "gfxpak -compress -real NAME  NAME", with two spaces before the last word.
std::string CompressLine(const std::string& packer, const std::string& name) {
  std::string line = packer;
  for (const std::string_view word : {kCompressCommand, kCompressFlag}) (line += ' ') += word;
  return line + " " + name + "  " + name;
}

// "gfxpak -p ARCHIVE NAME".
std::string ImportLine(const std::string& packer, const std::string& archive, const std::string& name) {
  return packer + " " + std::string(kImportCommand) + " " + archive + " " + name;
}

// The end of a run in which the program was not ended: "OK !" when every
// file went in, else how many did and a message about the others.
void ShowRunEnd(WindowOps& window, std::int32_t count, std::vector<FailedFile> failed, const std::string& data,
                Disk& disk) {
  if (failed.empty()) {
    window.SetCaption(kMainCaption);
    window.SetLineEnd(kLineFixedX);
    window.ShowLabel(StatusLabel::Ok, true);
    return;
  }
  // Success is shown only for success: the title and the label say how many
  // went in, and the bar shows that share of its picture, not the whole.
  const auto imported = static_cast<std::int32_t>(count - static_cast<std::int32_t>(failed.size()));
  const std::string caption = OutcomeCaption(imported, count);
  window.SetCaption(caption);
  window.SetLineEnd(kLineFixedX);
  window.SetProgressWidth(ProgressWidth(imported * ProgressIncrement(count)));
  window.ShowOutcome(OutcomeLabel(imported, count));
  window.ShowMessage(caption, FailureMessage(OutcomeOnDisk(imported, count, std::move(failed), data, disk)),
                     MessageKind::Error);
}

// The per-file loop; false when the program has been ended inside it.
bool ImportFiles(FormState& form, WindowOps& window, const ImportContext& context, const std::string& data) {
  const std::string packer = QuoteArgument(context.packer);
  const std::int32_t count = form.filecount;
  double progress = 0.0;
  std::vector<FailedFile> failed;
  HeldArchives held;
  for (form.fileidx = 1; form.fileidx <= count; ++form.fileidx) {
    progress += ProgressIncrement(count);
    if (!SelectArchive(form, window)) return false;
    const std::string name = form.filelist[static_cast<std::size_t>(form.fileidx)];
    const std::string quoted = QuoteArgument(name);

    window.SetLineEnd(form.linepos + kLineFixedX);
    window.SetCaption("COMPRESS " + name);
    const Command compressed = RunCommand(CompressLine(packer, quoted), PackerStep::Compress,
                                          form, window, context, data, failed);
    if (compressed == Command::Ended) return false;
    form.linepos = 0.0f;
    form.linestep = 5;
    window.SetProgressWidth(ProgressWidth(progress));
    // A file that did not compress must not go into the archive.
    if (compressed == Command::Failed) continue;

    window.SetLineEnd(form.linepos + kLineFixedX);
    window.SetCaption("import " + name + " in " + form.bigname);
    const Command imported = RunCommand(ImportLine(packer, QuoteArgument(form.bigname), quoted),
                                        PackerStep::Import, form, window, context, data, failed, &held);
    if (imported == Command::Ended) return false;
    form.linepos = 0.0f;
    form.linestep = 3;
    window.SetProgressWidth(ProgressWidth(progress));
    if (imported == Command::Failed) continue;

    const std::string path = JoinPath(data, name);
    if (std::error_code error = DeleteImported(path, window, context.disk)) {
      Fail(window, "The file " + path + " was imported but could not be deleted:\n" + SystemErrorText(error));
      return false;
    }
  }
  ShowRunEnd(window, count, std::move(failed), data, context.disk);
  return true;
}

}  // namespace

void inizia_Click(FormState& form, WindowOps& window, const ImportContext& context) {
  const std::string data = DataFolderOf(context.own_folder);
  std::error_code error = window.SetFileListFolder(data);
  if (!error) error = window.SetFileListPattern(kListPattern);
  if (error) {
    Fail(window, "The data folder " + data + " cannot be read:\n" + SystemErrorText(error));
    return;
  }
  window.ShowLabel(StatusLabel::DirectoryEmpty, false);
  window.ShowLabel(StatusLabel::Ok, false);
  window.ShowPanel(Panel::Info, false);
  window.ShowPanel(Panel::About, false);
  window.EnableMenu(MenuCommand::Inizia, false);
  window.EnableMenu(MenuCommand::Info, false);
  window.EnableMenu(MenuCommand::About, false);

  form.filecount = 0;
  const std::int32_t listed = window.FileListCount();
  form.filelist.assign(static_cast<std::size_t>(listed > 0 ? listed : 0) + 1, std::string());
  for (form.fileidx = 0; form.fileidx < listed; ++form.fileidx) {
    std::string entry = window.FileListEntry(form.fileidx);
    if (!entry.empty() && (entry.back() == 'o' || entry.back() == 'h')) {
      ++form.filecount;
      form.filelist[static_cast<std::size_t>(form.filecount)] = std::move(entry);
    }
  }
  window.EnableMenu(MenuCommand::Esci, false);

  if (form.filecount == 0) {
    window.ShowLabel(StatusLabel::DirectoryEmpty, true);
    window.EnableMenu(MenuCommand::Inizia, true);
  } else if (!ImportFiles(form, window, context, data)) {
    return;
  }
  window.EnableMenu(MenuCommand::Esci, true);
  window.EnableMenu(MenuCommand::Info, true);
  window.EnableMenu(MenuCommand::About, true);
}
