#include <cstdio>
#include <memory>
#include <string>

#include "net/AddressAssignment.h"
#include "net/TargetNetwork.h"
#include "tools/qorctl/Commands.h"
#include "tools/qorctl/Discovery.h"
#include "tools/qorctl/NetworkOptions.h"
#include "tools/qorctl/Validators.h"

namespace qor::cli {
namespace {

struct AssignOptions {
  std::string mac;
  std::string address;
  NetworkOptions network;
  bool verify = false;
  bool force = false;
  uint32_t waitMs = 1000;
};

int Assign(const AssignOptions& options) {
  AssignmentRequest request;
  request.mac = *MacAddress::Parse(options.mac);
  request.address = *ParseIpAddress(options.address);
  request.verify = options.verify;
  request.force = options.force;
  request.waitMs = options.waitMs;
  // Refused before the network is opened: nothing would be sent.
  if (const std::string problem = AssignmentProblem(request.mac, request.address);
      !problem.empty()) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    return 1;
  }
  const std::unique_ptr<TargetNetwork> network = OpenNetwork(options.network);
  const AssignmentResult result = AssignAddress(*network, request, ConsoleDiscoveryHooks());
  if (!result.text.empty()) std::fprintf(result.ok ? stdout : stderr, "%s\n", result.text.c_str());
  return result.ok ? 0 : 1;
}

}  // namespace

CommandRunner AddAssignCommand(CLI::App& app) {
  CLI::App* command = app.add_subcommand("assign", "Give the target with MAC a new IP address");
  auto options = std::make_shared<AssignOptions>();
  command->add_option("MAC", options->mac, "The target's MAC address, e.g. 00:1A:2B:3C:4D:5E")
      ->type_name("MAC")
      ->required()
      ->check(MacAddressValidator());
  command->add_option("IP", options->address, "The new address, e.g. 127.0.0.20")
      ->type_name("ADDR")
      ->required()
      ->check(Ipv4Validator());
  AddNetworkOptions(*command, options->network, "the request");
  command->add_flag("--verify", options->verify,
                    "Discover again and fail unless the target reports the new address");
  command->add_flag("--force", options->force,
                    "Assign the address even when another target already holds it, or when the "
                    "target did not answer the discovery");
  AddWaitOption(*command, options->waitMs,
                "the answers to the discovery that comes first (and with --verify, to the one "
                "that follows)");
  command->footer(
      "Discovers first, and refuses (nothing sent) an address another target already holds and "
      "a MAC that did not answer the discovery, which --force sends all the same, and addresses "
      "no target can take: 0.0.0.0, 255.255.255.255, 0.0.0.0/8, multicast and reserved ones. "
      "The target does not answer the request itself: --verify learns its address from a new "
      "discovery.\n"
      "With --range both discoveries sweep the range, and the request also goes straight to "
      "the address the target answered from, as no broadcast crosses a router.\n"
      "Exit status: 0 sent (and with --verify: confirmed), 1 refused, failed or not confirmed, "
      "2 on a usage error.");
  return [options] { return Assign(*options); };
}

}  // namespace qor::cli
