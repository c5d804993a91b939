#include "tools/qorctl/Commands.h"

namespace qor::cli {

// Placeholder until the script reader lands; replaced by the real command.
CommandRunner AddCheckCommand(CLI::App& app) {
  app.add_subcommand("check", "Read script files as QOR does and report what they hold");
  return [] { return 1; };
}

}  // namespace qor::cli
