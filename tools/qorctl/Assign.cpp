#include <cstdio>
#include <memory>
#include <string>

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
  const MacAddress mac = *MacAddress::Parse(options.mac);
  const uint32_t address = *ParseIpAddress(options.address);
  const std::string macText = mac.ToString();
  const std::string addressText = IpAddressText(address);
  if (const std::string problem = AddressProblem(address); !problem.empty()) {
    std::fprintf(stderr, "Cannot give %s the address %s: %s.\n", macText.c_str(),
                 addressText.c_str(), problem.c_str());
    return 1;
  }

  // Two targets at one address would both answer, or neither: look before assigning.
  const std::unique_ptr<TargetNetwork> opened = OpenNetwork(options.network);
  TargetNetwork& network = *opened;
  if (!DiscoverTargets(network, options.waitMs)) return 1;
  for (const Target* other : network.Table().InArrivalOrder()) {
    if (other->mac == mac || other->ipAddress != address) continue;
    if (!options.force) {
      std::fprintf(stderr, "%s already holds %s; --force assigns it all the same.\n",
                   other->mac.ToString().c_str(), addressText.c_str());
      return 1;
    }
    std::fprintf(stderr, "%s already holds %s; assigning it all the same (--force).\n",
                 other->mac.ToString().c_str(), addressText.c_str());
  }
  // An address sent to nobody changes nothing, and a MAC mistyped is the likelier story.
  if (network.Table().Find(mac) == nullptr) {
    if (!options.force) {
      std::fprintf(stderr,
                   "%s did not answer the discovery; --force sends the address all the "
                   "same.\n",
                   macText.c_str());
      return 1;
    }
    std::fprintf(stderr,
                 "%s did not answer the discovery; sending the address all the same "
                 "(--force).\n",
                 macText.c_str());
  }
  network.SendAssignAddressRequest(mac, address);
  // No broadcast crosses a router: a target found through the range is also asked at the
  // address it answered from. Sent after the broadcast, which it merely repeats.
  if (const Target* found = network.Table().Find(mac);
      found != nullptr && found->ipAddress != 0 && !options.network.range.empty()) {
    network.SendAssignAddressRequest(mac, address, found);
  }
  if (!options.verify) {
    std::printf("Asked %s to take the address %s.\n", macText.c_str(), addressText.c_str());
    return 0;
  }

  // The target does not answer the assignment itself; it shows its address when discovered.
  const Target* target = nullptr;
  const bool sent = DiscoverTargets(network, options.waitMs, [&] {
    target = network.Table().Find(mac);
    return target != nullptr && target->ipAddress == address;
  });
  if (!sent) return 1;

  if (target == nullptr) {
    std::fprintf(stderr, "%s did not answer a discovery within %u ms.\n", macText.c_str(),
                 options.waitMs);
    return 1;
  }
  if (target->ipAddress != address) {
    std::fprintf(stderr, "%s still reports %s, not %s.\n", macText.c_str(),
                 TargetAddressText(target->ipAddress).c_str(), addressText.c_str());
    return 1;
  }
  std::printf("%s now answers at %s.\n", macText.c_str(), addressText.c_str());
  return 0;
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
