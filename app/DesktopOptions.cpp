#include "app/DesktopOptions.h"

#include <string_view>

namespace qor {

DesktopOptions ParseDesktopOptions(int argc, const char* const* argv) {
  DesktopOptions options;
  constexpr std::string_view kInterface = "--interface";
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    std::string_view name;
    if (argument == kInterface) {
      if (i + 1 < argc) name = argv[++i];
    } else if (argument.starts_with(kInterface) && argument[kInterface.size()] == '=') {
      name = argument.substr(kInterface.size() + 1);
    } else {
      continue;
    }
    if (name.empty() || name.starts_with("-")) {
      options.error = "--interface needs the name of an adapter, such as --interface eth0";
      options.adapter.clear();
      return options;
    }
    options.adapter = name;
  }
  return options;
}

}  // namespace qor
