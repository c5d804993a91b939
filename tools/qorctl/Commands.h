#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <stdexcept>
#include <string>

namespace qor::cli {

// Runs a parsed command and returns the process exit status.
using CommandRunner = std::function<int()>;

// A bad argument found after parsing (a malformed MAC, say): exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Each adds its subcommand to app and returns what runs it once parsed.
CommandRunner AddCheckCommand(CLI::App& app);
CommandRunner AddDiscoverCommand(CLI::App& app);
CommandRunner AddAssignCommand(CLI::App& app);
CommandRunner AddRunCommand(CLI::App& app);
CommandRunner AddEnvCommand(CLI::App& app);
CommandRunner AddProvisionCommand(CLI::App& app);
CommandRunner AddReportCommand(CLI::App& app);
CommandRunner AddAdaptersCommand(CLI::App& app);

}  // namespace qor::cli
