#include <cstdio>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "QorVersion.h"
#include "platform/Exception.h"
#include "tools/qorctl/Commands.h"

int main(int argc, char** argv) {
  CLI::App app{"qorctl: find, re-address and script QOR targets on the local network"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("qorctl ") + qor::kQorVersion);

  std::map<const CLI::App*, qor::cli::CommandRunner> runners;
  const auto add = [&](qor::cli::CommandRunner runner) {
    runners[app.get_subcommands({}).back()] = std::move(runner);
  };
  add(qor::cli::AddCheckCommand(app));
  add(qor::cli::AddDiscoverCommand(app));
  add(qor::cli::AddAssignCommand(app));
  add(qor::cli::AddRunCommand(app));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);  // --help, --version
    // Point at the help of the command being parsed, when there is one.
    const std::vector<CLI::App*> parsed = app.get_subcommands();
    const std::string command = parsed.empty() ? "" : " " + parsed.front()->get_name();
    std::fprintf(stderr, "qorctl%s: %s\nRun 'qorctl%s --help' for usage.\n", command.c_str(),
                 error.what(), command.c_str());
    return 2;
  }

  const CLI::App* chosen = app.get_subcommands().front();
  try {
    return runners.at(chosen)();
  } catch (const qor::cli::UsageError& error) {
    std::fprintf(stderr, "qorctl %s: %s\nRun 'qorctl %s --help' for usage.\n",
                 chosen->get_name().c_str(), error.what(), chosen->get_name().c_str());
    return 2;
  } catch (const qor::Exception& error) {
    std::fprintf(stderr, "%s\n", error.Message().c_str());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "qorctl: %s\n", error.what());
    return 1;
  }
}
