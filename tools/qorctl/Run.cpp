#include "tools/qorctl/Commands.h"

namespace qor::cli {

// Placeholder until its issue lands; replaced by the real command.
CommandRunner AddRunCommand(CLI::App& app) {
  app.add_subcommand("run", "Run a script on one target or on every discovered target");
  return [] { return 1; };
}

}  // namespace qor::cli
