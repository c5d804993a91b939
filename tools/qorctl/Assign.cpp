#include "tools/qorctl/Commands.h"

namespace qor::cli {

// Placeholder until its issue lands; replaced by the real command.
CommandRunner AddAssignCommand(CLI::App& app) {
  app.add_subcommand("assign", "Give the target with MAC a new IP address");
  return [] { return 1; };
}

}  // namespace qor::cli
