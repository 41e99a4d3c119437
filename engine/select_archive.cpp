#include "select_archive.h"

#include "archive_rule.h"
#include "product.h"

std::string RejectCaption(std::string_view name) { return std::string(TESSOLO_CAPTION) + ": " + std::string(name); }

bool SelectArchive(FormState& form, WindowOps& window) {
  const std::string& name = form.filelist.at(static_cast<std::size_t>(form.fileidx));
  if (auto archive = ChooseArchive(name)) {
    form.bigname = *archive;
    return true;
  }
  window.ShowMessage(RejectCaption(name), kRejectMessage, MessageKind::Plain);
  window.EndProgram(kRejectExitCode);
  return false;
}
