// The portable half of file.h.
#include "file.h"

#include "system_error_text.h"

namespace gfxpak {

namespace {

class FileErrorCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "gfxpak-file"; }
  std::string message(int value) const override {
    switch (static_cast<FileErrc>(value)) {
      case FileErrc::kInUse: return "archive is in use";
      case FileErrc::kShortRead: return "file is shorter than expected";
    }
    return "unknown error";
  }
};

std::size_t LastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

}  // namespace

const std::error_category& FileCategory() {
  static const FileErrorCategory category;
  return category;
}

std::error_code make_error_code(FileErrc e) { return {static_cast<int>(e), FileCategory()}; }

std::string DirectoryOf(const std::string& path) {
  const std::size_t sep = LastSeparator(path);
  return sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
}

std::string BareName(const std::string& path) {
  const std::size_t sep = LastSeparator(path);
  return sep == std::string::npos ? path : path.substr(sep + 1);
}

std::error_code ReadWholeFile(const std::string& path, FileBytes& data) {
  File file;
  if (auto error = file.Open(path, OpenMode::kRead)) return error;
  std::uint64_t size = 0;
  if (auto error = file.Size(size)) return error;
  if (size > 0xFFFFFFFFu) return std::make_error_code(std::errc::file_too_large);
  return file.ReadAt(0, data.Allocate(static_cast<std::size_t>(size)));
}

std::error_code WriteFileAtomically(const std::string& target, std::span<const std::uint8_t> data) {
  const std::string temp = TemporaryPathBeside(target);
  std::error_code error;
  {
    File file;
    error = file.Open(temp, OpenMode::kCreateNew);
    if (error) return error;
    error = file.WriteAt(0, data);
    if (!error) error = file.Flush();
  }
  if (!error) error = RenameOver(temp, target);
  if (error) RemoveFile(temp);
  return error;
}

std::string ErrorText(std::error_code error) {
  // The messages add their own punctuation.
  std::string text = SystemErrorText(error);
  while (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

}  // namespace gfxpak
