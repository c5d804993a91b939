#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "QorVersion.h"
#include "app/CQORApp.h"
#include "ui/qt/QtWindowSystem.h"

namespace {

// Laid out as the command-line programs' help is, so that one generator makes every man page.
void PrintUsage() {
  std::puts(
      "Finds the QOR targets on the local network, lists them, gives them addresses and\n"
      "runs scripts against them.\n"
      "Usage: qor [OPTIONS]\n"
      "\n"
      "Options:\n"
      "  -h,--help                   Print this help and exit\n"
      "  --version                   Print the version and exit\n"
      "\n"
      "The discovery goes to 255.255.255.255 and to the subnet broadcast of every\n"
      "adapter. The scripts offered for each product are the .QOR files in\n"
      "$XDG_DATA_HOME/qor/scripts (~/.local/share/qor/scripts), in qor/scripts of each\n"
      "$XDG_DATA_DIRS folder (/usr/local/share and /usr/share) and beside the program;\n"
      "a file name found in several is taken from the first.\n"
      "Right-click a target for its menu. The About box: right-click the window's\n"
      "background, or press F1.");
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
