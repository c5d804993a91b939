// qor-automation: the desktop program played by a plan of operator steps (QOR_AUTOMATION), for
// scripts/screenshots and smoke runs under Xvfb. A test tool: qor itself reads no plan.
//
// Usage: QOR_AUTOMATION=PLAN qor-automation [SCRIPT-FOLDER]
// The catalogue comes from SCRIPT-FOLDER, by default the folder of this program.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "app/CQORApp.h"
#include "tests/ui/qt/QtAutomation.h"
#include "ui/qt/QtWindowSystem.h"

int main(int argc, char** argv) {
  qor::qt::QtWindowSystem windowSystem(argc, argv);
  std::unique_ptr<qor::test::QtAutomation> automation = qor::test::QtAutomation::FromEnvironment();
  if (!automation) {
    std::fputs("qor-automation: QOR_AUTOMATION names no plan of steps to play\n", stderr);
    return 2;
  }
  qor::CQORApp::Platform platform = qor::CQORApp::RealPlatform();
  if (argc > 1) {
    const std::string folder = argv[1];
    platform.executableDirectory = [folder] { return std::optional<std::string>(folder); };
  }
  qor::ui::ScopedWindowSystem installed(windowSystem);
  qor::CQORApp app(std::move(platform));
  app.InitInstance();
  return app.ExitCode();
}
