#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

// Everything the import engine asks of the main window. The engine never
// touches a window directly; the real window and the test fakes implement
// this. Strings are UTF-8.

enum class StatusLabel { Ok, DirectoryEmpty };            // Label1 "OK !", Label2 "DIRECTORY EMPTY"
enum class Panel { Info, About };                         // Picture2, Picture3
enum class MenuCommand { Inizia, Info, About, Esci };     // "start", "info", "about", "exit"
enum class MessageKind { Plain, Error };                  // Plain: OK button, no icon

class WindowOps {
 public:
  virtual ~WindowOps() = default;

  // File1: the list of a folder's files that match a wildcard pattern.
  // Both setters re-read the folder; they return the error of that listing
  // (for example a folder that does not exist), or no error.
  virtual std::error_code SetFileListFolder(std::string_view folder) = 0;
  virtual std::error_code SetFileListPattern(std::string_view pattern) = 0;
  virtual std::int32_t FileListCount() = 0;
  virtual std::string FileListEntry(std::int32_t index) = 0;  // 0-based, bare name

  virtual void ShowLabel(StatusLabel label, bool visible) = 0;
  // The label that says how many files a run imported, shown in place of
  // "OK !" when not all of them went in; an empty text hides it.
  virtual void ShowOutcome(std::string_view text) = 0;
  virtual void ShowPanel(Panel panel, bool visible) = 0;
  virtual void EnableMenu(MenuCommand command, bool enabled) = 0;
  virtual void SetCaption(std::string_view caption) = 0;

  // Line2's moving end (X2) and Picture1's width, both in twips.
  virtual void SetLineEnd(float x2_twips) = 0;
  virtual void SetProgressWidth(float width_twips) = 0;

  // Dispatches every pending window event (timer ticks, repaints, clicks)
  // and returns when none is left. The process runner calls it once per pass
  // of its wait. The real window pumps PeekMessageW/DispatchMessageW until the
  // queue is empty; a WM_QUIT met here must not be lost: the window keeps it
  // and posts it again once the run is over.
  virtual void ProcessEvents() = 0;

  // A modal message box with a single OK button and the caption given;
  // returns once it is closed.
  virtual void ShowMessage(std::string_view caption, std::string_view text, MessageKind kind) = 0;

  // Ends the program at once. The real window never returns from it; a test
  // fake records it and returns, and the caller then stops its work.
  virtual void EndProgram(int exit_code) = 0;
};
