#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <string>

#include "QorVersion.h"
#include "platform/Exception.h"
#include "tools/cli/HelpFormatter.h"
#include "tools/qorctl/Commands.h"

namespace {

// "check, discover, assign, run, env, provision, report, adapters": the commands in the order of
// --help.
std::string CommandNames(const CLI::App& app) {
  std::string names;
  for (const CLI::App* command : app.get_subcommands({})) {
    if (!names.empty()) names += ", ";
    names += command->get_name();
  }
  return names;
}

bool IsCommand(const CLI::App& app, const std::string& name) {
  for (const CLI::App* command : app.get_subcommands({})) {
    if (command->get_name() == name) return true;
  }
  return false;
}

// " env show": the commands chosen, each within the one before, with a blank before each.
std::string ChosenCommands(const CLI::App& app) {
  std::string names;
  for (const CLI::App* command = &app; !command->get_subcommands().empty();) {
    command = command->get_subcommands().front();
    names += " " + command->get_name();
  }
  return names;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Finds, re-addresses and scripts QOR targets on the local network.", "qorctl"};
  app.formatter(std::make_shared<qor::cli::HelpFormatter>());
  app.require_subcommand(1);
  // Before the commands, which take the help flag over as it stands.
  app.set_help_flag("-h,--help", "Print this help and exit");

  std::map<const CLI::App*, qor::cli::CommandRunner> runners;
  const auto add = [&](qor::cli::CommandRunner runner) {
    CLI::App* command = app.get_subcommands({}).back();
    command->group("Commands");
    runners[command] = std::move(runner);
  };
  add(qor::cli::AddCheckCommand(app));
  add(qor::cli::AddDiscoverCommand(app));
  add(qor::cli::AddAssignCommand(app));
  add(qor::cli::AddRunCommand(app));
  add(qor::cli::AddEnvCommand(app));
  add(qor::cli::AddProvisionCommand(app));
  add(qor::cli::AddReportCommand(app));
  add(qor::cli::AddAdaptersCommand(app));

  app.set_help_all_flag("--help-all", "Print the help of every command and exit");
  app.set_version_flag("--version", std::string("qorctl ") + qor::kQorVersion,
                       "Print the version and exit");
  app.footer("Run 'qorctl COMMAND --help' for the options of one command.");

  // CLI11 would only say that a command is required.
  const std::string first = argc > 1 ? argv[1] : "";
  if (first.empty() || (first[0] != '-' && !IsCommand(app, first))) {
    const std::string problem =
        first.empty() ? "no command given" : "unknown command \"" + first + "\"";
    std::fprintf(stderr, "qorctl: %s\nCommands: %s\nRun 'qorctl --help' for usage.\n",
                 problem.c_str(), CommandNames(app).c_str());
    return 2;
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);  // --help, --version
    // Point at the help of the command being parsed, when there is one.
    const std::string command = ChosenCommands(app);
    std::fprintf(stderr, "qorctl%s: %s\nRun 'qorctl%s --help' for usage.\n", command.c_str(),
                 error.what(), command.c_str());
    return 2;
  }

  const CLI::App* chosen = app.get_subcommands().front();
  try {
    return runners.at(chosen)();
  } catch (const qor::cli::UsageError& error) {
    const std::string command = ChosenCommands(app);
    std::fprintf(stderr, "qorctl%s: %s\nRun 'qorctl%s --help' for usage.\n", command.c_str(),
                 error.what(), command.c_str());
    return 2;
  } catch (const qor::Exception& error) {
    std::fprintf(stderr, "%s\n", error.Message().c_str());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "qorctl: %s\n", error.what());
    return 1;
  }
}
