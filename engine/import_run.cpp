#include "import_run.h"

#include "command_line.h"
#include "failure_report.h"
#include "indicators.h"
#include "paths.h"
#include "process_runner.h"
#include "select_archive.h"

#include <filesystem>
#include <vector>

namespace {

// The window style of both commands: no visible window.
const ShellParm kHidden = std::int16_t{0};

void Fail(WindowOps& window, const std::string& text) {
  window.ShowMessage(kMainCaption, text, MessageKind::Error);
  window.EndProgram(kFailureExitCode);
}

std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// What the message about the failed files needs to know of the disk: which
// file the failed command writes is read-only, how large the files are and
// how much room their drive has. Asked once, after the run.
RunOutcome OutcomeOnDisk(std::int32_t imported, std::int32_t total, std::vector<FailedFile> failed,
                         const std::string& data) {
  RunOutcome outcome{imported, total, std::move(failed), DriveOf(data), std::nullopt};
  for (FailedFile& f : outcome.failed) {
    std::error_code error;
    const std::string written = JoinPath(data, f.step == PackerStep::Import ? f.archive : f.name);
    const std::filesystem::file_status status = std::filesystem::status(FsPath(written), error);
    f.read_only = !error && std::filesystem::exists(status) &&
                  (status.permissions() & std::filesystem::perms::owner_write) == std::filesystem::perms::none;
    const std::uintmax_t size = std::filesystem::file_size(FsPath(JoinPath(data, f.name)), error);
    f.size = error ? 0 : size;
  }
  std::error_code error;
  const std::filesystem::space_info space = std::filesystem::space(FsPath(data), error);
  if (!error) outcome.available = space.available;
  return outcome;
}

enum class Command { Done, Failed, Ended };

// Whether the packer lies in the tool's folder, under its bare name or with
// the ending Windows adds: if it does, a start that failed was the system's
// doing (Wine, for one, now and then cannot start a program), not a missing
// file.
bool PackerIsThere(const ImportContext& context) {
  std::error_code error;
  for (const std::string& name : {context.packer, context.packer + ".exe"}) {
    if (std::filesystem::is_regular_file(FsPath(JoinPath(context.own_folder, name)), error)) return true;
  }
  return false;
}

// Runs one packer command for the current file in the data folder, where
// the bare file and archive names of its command line are; a packer that
// cannot be started at all ends the program, as there is nothing the run
// can do then.
Command RunCommand(const std::string& line, PackerStep step, FormState& form, WindowOps& window,
                   const ImportContext& context, const std::string& data, std::vector<FailedFile>& failed) {
  const std::string& name = form.filelist[static_cast<std::size_t>(form.fileidx)];
  const ShellResult result = ShellStop(line, kHidden, form, window, context.processes, data);
  if (result.error) {
    Fail(window, "gfxpak could not be started for the file " + name + ":\n" + SystemErrorText(result.error) + "\n" +
                     (PackerIsThere(context) ? "gfxpak.exe is there; start Tessolo again. The files not imported yet "
                                               "are still in the data folder."
                                             : "gfxpak.exe belongs in the tool's folder, beside tessolo.exe."));
    return Command::Ended;
  }
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

// The end of a run in which the program was not ended: "OK !" when every
// file went in, else how many did and a message about the others.
void ShowRunEnd(WindowOps& window, std::int32_t count, std::vector<FailedFile> failed, const std::string& data) {
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
  window.ShowMessage(caption, FailureMessage(OutcomeOnDisk(imported, count, std::move(failed), data)),
                     MessageKind::Error);
}

// The per-file loop; false when the program has been ended inside it.
bool ImportFiles(FormState& form, WindowOps& window, const ImportContext& context, const std::string& data) {
  const std::string packer = QuoteArgument(context.packer);
  const std::int32_t count = form.filecount;
  double progress = 0.0;
  std::vector<FailedFile> failed;
  for (form.fileidx = 1; form.fileidx <= count; ++form.fileidx) {
    progress += ProgressIncrement(count);
    if (!SelectArchive(form, window)) return false;
    const std::string name = form.filelist[static_cast<std::size_t>(form.fileidx)];
    const std::string quoted = QuoteArgument(name);

    window.SetLineEnd(form.linepos + kLineFixedX);
    window.SetCaption("COMPRESS " + name);
    const Command compressed = RunCommand(packer + " -compress -real " + quoted + "  " + quoted, PackerStep::Compress,
                                          form, window, context, data, failed);
    if (compressed == Command::Ended) return false;
    form.linepos = 0.0f;
    form.linestep = 5;
    window.SetProgressWidth(ProgressWidth(progress));
    // A file that did not compress must not go into the archive.
    if (compressed == Command::Failed) continue;

    window.SetLineEnd(form.linepos + kLineFixedX);
    window.SetCaption("import " + name + " in " + form.bigname);
    const Command imported = RunCommand(packer + " -p " + QuoteArgument(form.bigname) + " " + quoted,
                                        PackerStep::Import, form, window, context, data, failed);
    if (imported == Command::Ended) return false;
    form.linepos = 0.0f;
    form.linestep = 3;
    window.SetProgressWidth(ProgressWidth(progress));
    if (imported == Command::Failed) continue;

    const std::string path = JoinPath(data, name);
    if (std::error_code error = DeleteFileAt(path)) {
      Fail(window, "The file " + path + " was imported but could not be deleted:\n" + SystemErrorText(error));
      return false;
    }
  }
  ShowRunEnd(window, count, std::move(failed), data);
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
