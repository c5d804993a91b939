#include "platform/ScriptFolders.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace qor {
namespace {

std::string WithoutTrailingSlashes(std::string path) {
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

// Relative entries are invalid and ignored, as the base directory rules say.
void AddDataFolder(std::vector<std::string>& folders, const std::string& base) {
  if (base.empty() || base.front() != '/') return;
  folders.push_back(WithoutTrailingSlashes(base) + "/qor/scripts");
}

}  // namespace

std::vector<std::string> XdgScriptFolders(const std::string& programFolder, const char* dataHome,
                                          const char* dataDirs, const char* home) {
  std::vector<std::string> folders;
  if (dataHome != nullptr && dataHome[0] == '/') {
    AddDataFolder(folders, dataHome);
  } else if (home != nullptr && home[0] == '/') {
    AddDataFolder(folders, WithoutTrailingSlashes(home) + "/.local/share");
  }
  const std::string dirs =
      dataDirs != nullptr && dataDirs[0] != '\0' ? dataDirs : "/usr/local/share/:/usr/share/";
  std::istringstream entries(dirs);
  std::string entry;
  while (std::getline(entries, entry, ':')) AddDataFolder(folders, entry);
  folders.push_back(programFolder);

  // A folder named twice is read once, where it matters most.
  std::vector<std::string> unique;
  for (const std::string& folder : folders) {
    if (std::find(unique.begin(), unique.end(), folder) == unique.end()) unique.push_back(folder);
  }
  return unique;
}

std::vector<std::string> ScriptFolders(const std::string& programFolder) {
#ifdef _WIN32
  return {programFolder};
#else
  return XdgScriptFolders(programFolder, std::getenv("XDG_DATA_HOME"), std::getenv("XDG_DATA_DIRS"),
                          std::getenv("HOME"));
#endif
}

}  // namespace qor
