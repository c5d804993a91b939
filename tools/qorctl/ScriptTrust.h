#pragma once

#include <CLI/CLI.hpp>

#include "trust/TrustedKeys.h"

namespace qor::cli {

// --allow-unsigned, for the commands that read a script.
CLI::Option* AddAllowUnsignedFlag(CLI::App& command, bool& allowUnsigned);

// The keys trusted to sign scripts, from the folders the desktop program reads them from; none
// with --allow-unsigned. A key file there that does not read is named on standard error.
[[nodiscard]] TrustedKeys CommandKeys(bool allowUnsigned);

}  // namespace qor::cli
