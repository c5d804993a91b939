// The Windows desktop program: a GUI-subsystem program whose windows are raw Win32 ones.
#include "app/CQORApp.h"
#include "ui/win32/Win32WindowSystem.h"

int main() {
  qor::win32::Win32WindowSystem windowSystem;
  qor::ui::ScopedWindowSystem installed(windowSystem);
  qor::CQORApp app;
  app.InitInstance();
  return app.ExitCode();
}
