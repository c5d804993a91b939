// The Windows desktop program: a GUI-subsystem program whose windows are raw Win32 ones.
#include <memory>
#include <string>

#include "app/CQORApp.h"
#include "app/DesktopOptions.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "ui/win32/Win32WindowSystem.h"

int main(int argc, char** argv) {
  const qor::DesktopOptions options = qor::ParseDesktopOptions(argc, argv);
  qor::win32::Win32WindowSystem windowSystem;
  qor::ui::ScopedWindowSystem installed(windowSystem);
  qor::CQORApp::Platform platform = qor::CQORApp::RealPlatform(options.adapter);
  // A program without a console says what is wrong with its command line where it says what
  // else fails at start-up: in a message box, before it ends.
  if (!options.error.empty()) {
    platform.openNetwork = [error = options.error]() -> std::unique_ptr<qor::TargetNetwork> {
      throw qor::Exception(error);
    };
  }
  qor::CQORApp app(std::move(platform));
  app.InitInstance();
  return app.ExitCode();
}
