#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "QorVersion.h"
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

// Qt aborts, advising a reinstall, when it finds no display; say what is wrong instead.
bool DisplayNamed(int argc, char** argv) {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      PrintUsage();
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("qor %s\n", qor::kQorVersion);
      return 0;
    }
  }
  if (!DisplayNamed(argc, argv)) {
    std::fputs(
        "qor: no display to open a window on (DISPLAY is not set). Run it in a desktop session;\n"
        "qorctl does discovery, addresses and script runs from a terminal.\n",
        stderr);
    return 1;
  }
  qor::qt::QtWindowSystem windowSystem(argc, argv);
  qor::ui::ScopedWindowSystem installed(windowSystem);
  qor::CQORApp app;
  app.InitInstance();
  return app.ExitCode();
}
