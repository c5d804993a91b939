#pragma once

#include <string>
#include <vector>

namespace qor {

// The folders whose minisign public key files (*.pub) the programs trust to sign scripts. On
// Windows trusted-keys beside the program. Elsewhere the user's, then the system's:
// $XDG_CONFIG_HOME/qor/trusted-keys (by default ~/.config/qor/trusted-keys), then
// /etc/qor/trusted-keys.
[[nodiscard]] std::vector<std::string> TrustedKeyFolders(const std::string& programFolder);

// The same from the given values of XDG_CONFIG_HOME and HOME (nullptr when unset), on any
// system: what TrustedKeyFolders gives outside Windows.
[[nodiscard]] std::vector<std::string> XdgTrustedKeyFolders(const char* configHome,
                                                            const char* home);

}  // namespace qor
