// Entry point of the tool: the main window does everything; this only runs
// its message loop.
#include "form1.h"
#include "import_run.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int show_command) {
  Form1 form;
  if (!form.Create(show_command)) return kFailureExitCode;
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}
