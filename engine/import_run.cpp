#include "import_run.h"

#include "indicators.h"
#include "paths.h"
#include "process_runner.h"
#include "select_archive.h"

#include <vector>

namespace {

// The window style of both commands: no visible window.
const ShellParm kHidden = std::int16_t{0};

struct FailedCommand {
  std::string name;
  std::string command_line;
  ProcessExit exit;
};

void Fail(WindowOps& window, const std::string& text) {
  window.ShowMessage(text, MessageKind::Error);
  window.EndProgram(kFailureExitCode);
}

std::string FailureReport(const std::vector<FailedCommand>& failed) {
  std::string text = "Not every file was imported. These files failed and are still in the data folder:\n";
  for (const FailedCommand& f : failed) {
    text += "\n" + f.name + ": \"" + f.command_line + "\" " + DescribeExit(f.exit);
  }
  return text;
}

enum class Outcome { Done, Failed, Ended };

// Runs one packer command for the current file in the data folder, where
// the bare file and archive names of its command line are; a packer that
// cannot be started at all ends the program, as there is nothing the run
// can do then.
Outcome RunCommand(const std::string& line, FormState& form, WindowOps& window, const ImportContext& context,
                   const std::string& data, std::vector<FailedCommand>& failed) {
  const std::string& name = form.filelist[static_cast<std::size_t>(form.fileidx)];
  const ShellResult result = ShellStop(line, kHidden, form, window, context.processes, data);
  if (result.error) {
    Fail(window, "gfxpak could not be started for the file " + name + ":\n" + SystemErrorText(result.error) +
                     "\ngfxpak.exe belongs in the tool's folder, beside tessolo.exe.");
    return Outcome::Ended;
  }
  if (!result.exit.Succeeded()) {
    failed.push_back({name, line, result.exit});
    return Outcome::Failed;
  }
  return Outcome::Done;
}

// The per-file loop; false when the program has been ended inside it.
bool ImportFiles(FormState& form, WindowOps& window, const ImportContext& context, const std::string& data) {
  const std::string packer = QuoteArgument(context.packer);
  const std::int32_t count = form.filecount;
  double progress = 0.0;
  std::vector<FailedCommand> failed;
  for (form.fileidx = 1; form.fileidx <= count; ++form.fileidx) {
    progress += ProgressIncrement(count);
    if (!SelectArchive(form, window)) return false;
    const std::string name = form.filelist[static_cast<std::size_t>(form.fileidx)];
    const std::string quoted = QuoteArgument(name);

    window.SetLineEnd(form.linepos + 120.0f);
    window.SetCaption("COMPRESS " + name);
    const Outcome compressed =
        RunCommand(packer + " -compress -real " + quoted + "  " + quoted, form, window, context, data, failed);
    if (compressed == Outcome::Ended) return false;
    form.linepos = 0.0f;
    form.linestep = 5;
    window.SetProgressWidth(ProgressWidth(progress));
    // A file that did not compress must not go into the archive.
    if (compressed == Outcome::Failed) continue;

    window.SetLineEnd(form.linepos + 120.0f);
    window.SetCaption("import " + name + " in " + form.bigname);
    const Outcome imported =
        RunCommand(packer + " -p " + QuoteArgument(form.bigname) + " " + quoted, form, window, context, data, failed);
    if (imported == Outcome::Ended) return false;
    form.linepos = 0.0f;
    form.linestep = 3;
    window.SetProgressWidth(ProgressWidth(progress));
    if (imported == Outcome::Failed) continue;

    const std::string path = JoinPath(data, name);
    if (std::error_code error = DeleteFileAt(path)) {
      Fail(window, "The file " + path + " was imported but could not be deleted:\n" + SystemErrorText(error));
      return false;
    }
  }
  window.SetCaption(kMainCaption);
  window.SetLineEnd(120.0f);
  if (failed.empty()) {
    window.ShowLabel(StatusLabel::Ok, true);
  } else {
    window.ShowMessage(FailureReport(failed), MessageKind::Error);
  }
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
