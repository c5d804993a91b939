#pragma once

#include <string>
#include <vector>

namespace qor {

// The folders whose .QOR scripts the program offers, most important first. On Windows the
// program's own folder alone. Elsewhere, as installed programs find their data:
// $XDG_DATA_HOME/qor/scripts (by default ~/.local/share/qor/scripts), qor/scripts in each
// $XDG_DATA_DIRS folder (by default /usr/local/share and /usr/share), then the program's folder.
[[nodiscard]] std::vector<std::string> ScriptFolders(const std::string& programFolder);

// The same from the given values of XDG_DATA_HOME, XDG_DATA_DIRS and HOME (nullptr when unset),
// on any system: what ScriptFolders gives outside Windows.
[[nodiscard]] std::vector<std::string> XdgScriptFolders(const std::string& programFolder,
                                                        const char* dataHome, const char* dataDirs,
                                                        const char* home);

}  // namespace qor
