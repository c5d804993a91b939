#include <cstdio>
#include <cstring>

#include "app/CQORApp.h"
#include "ui/qt/QtWindowSystem.h"

namespace {

void PrintUsage() {
  std::puts(
      "Usage: qor\n"
      "Finds the QOR targets on the local network, lists them, assigns them addresses and runs\n"
      "scripts against them. The scripts offered for each product are the .QOR files beside\n"
      "this program.\n"
      "\n"
      "Right-click a target for its menu. The About box: right-click the window's background,\n"
      "or press F1.");
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      PrintUsage();
      return 0;
    }
  }
  qor::qt::QtWindowSystem windowSystem(argc, argv);
  qor::ui::ScopedWindowSystem installed(windowSystem);
  qor::CQORApp app;
  app.InitInstance();
  return app.ExitCode();
}
