#pragma once

#include <string>

namespace qor {

// What the desktop program reads from its command line besides --help and --version; the
// window system takes whatever else there is.
struct DesktopOptions {
  std::string adapter;  // --interface NAME: send and listen through this adapter alone
  std::string error;    // what is wrong with the command line; empty when nothing is
};

// "--interface NAME" or "--interface=NAME"; the last one given counts.
[[nodiscard]] DesktopOptions ParseDesktopOptions(int argc, const char* const* argv);

}  // namespace qor
