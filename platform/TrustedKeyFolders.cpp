#include "platform/TrustedKeyFolders.h"

#include <cstdlib>

#include "platform/Files.h"

namespace qor {
namespace {

std::string WithoutTrailingSlashes(std::string path) {
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::vector<std::string> XdgTrustedKeyFolders(const char* configHome, const char* home) {
  std::vector<std::string> folders;
  // Relative values are invalid and ignored, as the base directory rules say.
  if (configHome != nullptr && configHome[0] == '/') {
    folders.push_back(WithoutTrailingSlashes(configHome) + "/qor/trusted-keys");
  } else if (home != nullptr && home[0] == '/') {
    folders.push_back(WithoutTrailingSlashes(home) + "/.config/qor/trusted-keys");
  }
  folders.push_back("/etc/qor/trusted-keys");
  return folders;
}

std::vector<std::string> TrustedKeyFolders(const std::string& programFolder) {
#ifdef _WIN32
  return {programFolder + kPathSeparator + "trusted-keys"};
#else
  static_cast<void>(programFolder);
  return XdgTrustedKeyFolders(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
#endif
}

}  // namespace qor
