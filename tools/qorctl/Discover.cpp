#include "tools/qorctl/Commands.h"

namespace qor::cli {

// Placeholder until its issue lands; replaced by the real command.
CommandRunner AddDiscoverCommand(CLI::App& app) {
  app.add_subcommand("discover", "Broadcast a discovery and list the targets that answer");
  return [] { return 1; };
}

}  // namespace qor::cli
