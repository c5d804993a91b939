#include "tools/qorctl/ScriptTrust.h"

#include <cstdio>
#include <string>

#include "platform/Files.h"
#include "platform/TrustedKeyFolders.h"

namespace qor::cli {

CLI::Option* AddAllowUnsignedFlag(CLI::App& command, bool& allowUnsigned) {
  return command.add_flag("--allow-unsigned", allowUnsigned,
                          "Read scripts and images that no trusted key signed, this time only");
}

TrustedKeys CommandKeys(bool allowUnsigned) {
  if (allowUnsigned) return TrustedKeys();
  TrustedKeys keys = TrustedKeys::Load(TrustedKeyFolders(ExecutableDirectory().value_or(".")));
  for (const std::string& path : keys.UnreadableFiles()) {
    std::fprintf(stderr, "Warning: \"%s\" is not a minisign public key; it trusts no signature\n",
                 path.c_str());
  }
  return keys;
}

}  // namespace qor::cli
