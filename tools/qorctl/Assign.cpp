#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "net/TargetNetwork.h"
#include "station/AddressPool.h"
#include "station/RecordHistory.h"
#include "tools/qorctl/Commands.h"
#include "tools/qorctl/Discovery.h"
#include "tools/qorctl/NetworkOptions.h"
#include "tools/qorctl/Validators.h"

namespace qor::cli {
namespace {

struct AssignOptions {
  std::string mac;
  std::string address;
  std::string pool;  // FIRST-LAST: the address is the pool's first free one
  NetworkOptions network;
  bool verify = false;
  bool force = false;
  bool json = false;
  bool dryRun = false;  // choose and check as ever, send nothing
  uint32_t waitMs = 1000;
};

// What --json prints: the target, the address it has now, the one it had, whether it changed.
void PrintJson(const MacAddress& mac, uint32_t address, std::optional<uint32_t> before,
               bool changed, std::optional<bool> confirmed) {
  nlohmann::ordered_json out;
  out["mac"] = mac.ToString();
  out["address"] = IpAddressText(address);
  out["before"] = before && *before != 0 ? nlohmann::ordered_json(IpAddressText(*before))
                                         : nlohmann::ordered_json(nullptr);
  out["changed"] = changed;
  out["confirmed"] = confirmed ? nlohmann::ordered_json(*confirmed) : nlohmann::ordered_json();
  std::printf("%s\n", out.dump().c_str());
}

// The pool's address for the target: the one it holds when that is the pool's and nobody
// else's, else the first free one (held by no target that answered). Empty, with the reason on
// standard error, when the pool has none left.
std::optional<uint32_t> FromPool(const AddressPool& pool, const MacAddress& mac,
                                 TargetNetwork& network) {
  const Target* target = network.Table().Find(mac);
  if (target != nullptr && pool.Contains(target->ipAddress)) {
    bool shared = false;
    for (const Target* other : network.Table().InArrivalOrder()) {
      shared = shared || (other->mac != mac && other->ipAddress == target->ipAddress);
    }
    if (!shared) return target->ipAddress;
  }
  const AddressPool::Choice choice = pool.Choose(mac, network.Table(), RecordHistory{});
  if (!choice.address) std::fprintf(stderr, "%s\n", choice.problem.c_str());
  return choice.address;
}

int Assign(const AssignOptions& options) {
  const MacAddress mac = *MacAddress::Parse(options.mac);
  const std::string macText = mac.ToString();
  std::optional<AddressPool> pool;
  if (!options.pool.empty()) pool = AddressPool::Range(options.pool);
  // An address no target can take is refused before anything is sent, a discovery included.
  if (!pool && !AddressProblem(*ParseIpAddress(options.address)).empty()) {
    const uint32_t address = *ParseIpAddress(options.address);
    std::fprintf(stderr, "Cannot give %s the address %s: %s.\n", macText.c_str(),
                 IpAddressText(address).c_str(), AddressProblem(address).c_str());
    return 1;
  }

  // Two targets at one address would both answer, or neither: look before assigning.
  const std::unique_ptr<TargetNetwork> opened = OpenNetwork(options.network);
  TargetNetwork& network = *opened;
  if (!DiscoverTargets(network, options.waitMs)) return 1;
  if (pool && network.Table().Find(mac) == nullptr) {
    std::fprintf(stderr,
                 "%s did not answer the discovery; the pool gives addresses only to "
                 "targets that answer.\n",
                 macText.c_str());
    return 1;
  }
  const std::optional<uint32_t> chosen =
      pool ? FromPool(*pool, mac, network) : ParseIpAddress(options.address);
  if (!chosen) return 1;
  const uint32_t address = *chosen;
  const std::string addressText = IpAddressText(address);
  if (const std::string problem = AddressProblem(address); !problem.empty()) {
    std::fprintf(stderr, "Cannot give %s the address %s: %s.\n", macText.c_str(),
                 addressText.c_str(), problem.c_str());
    return 1;
  }
  const Target* before = network.Table().Find(mac);
  const std::optional<uint32_t> held =
      before != nullptr ? std::optional<uint32_t>(before->ipAddress) : std::nullopt;
  // Asked again for what it has: nothing to send, unless forced.
  if (held == address && !options.force) {
    if (options.json) {
      PrintJson(mac, address, held, false, std::nullopt);
    } else {
      std::printf("%s already answers at %s; nothing sent.\n", macText.c_str(),
                  addressText.c_str());
    }
    return 0;
  }
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
  if (options.dryRun) {
    if (options.json) {
      PrintJson(mac, address, held, true, std::nullopt);
    } else {
      std::printf("Would ask %s to take the address %s; nothing sent (--dry-run).\n",
                  macText.c_str(), addressText.c_str());
    }
    return 0;
  }
  network.SendAssignAddressRequest(mac, address);
  // No broadcast crosses a router: a target found through the range is also asked at the
  // address it answered from. Sent after the broadcast, which it merely repeats.
  if (const Target* found = network.Table().Find(mac);
      found != nullptr && found->ipAddress != 0 && !options.network.range.empty()) {
    network.SendAssignAddressRequest(mac, address, found);
  }
  if (!options.verify) {
    if (options.json) {
      PrintJson(mac, address, held, true, std::nullopt);
    } else {
      std::printf("Asked %s to take the address %s.\n", macText.c_str(), addressText.c_str());
    }
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
  if (options.json) {
    PrintJson(mac, address, held, true, true);
  } else {
    std::printf("%s now answers at %s.\n", macText.c_str(), addressText.c_str());
  }
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
  auto* ip = command->add_option("IP", options->address, "The new address, e.g. 127.0.0.20")
                 ->type_name("ADDR")
                 ->check(Ipv4Validator());
  auto* pool = command
                   ->add_option("--pool", options->pool,
                                "Instead of IP: the first address of the range FIRST-LAST "
                                "that no other answering target holds (the target keeps one "
                                "of the range it holds already)")
                   ->type_name("FIRST-LAST");
  ip->excludes(pool);
  AddNetworkOptions(*command, options->network, "the request");
  command->add_flag("--verify", options->verify,
                    "Discover again and fail unless the target reports the new address");
  command->add_flag("--force", options->force,
                    "Assign the address even when another target already holds it, or when the "
                    "target did not answer the discovery");
  command->add_flag("--dry-run", options->dryRun,
                    "Discover, choose and check the address, say what would be sent, send "
                    "nothing");
  command->add_flag("--json", options->json,
                    "Print one JSON object: mac, address, before (the address it had, or null), "
                    "changed (false when it already answered at the address: nothing sent), "
                    "confirmed (with --verify)");
  AddWaitOption(*command, options->waitMs,
                "the answers to the discovery that comes first (and with --verify, to the one "
                "that follows)");
  command->footer(
      "Discovers first, and refuses (nothing sent) an address another target already holds and "
      "a MAC that did not answer the discovery, which --force sends all the same, and addresses "
      "no target can take: 0.0.0.0, 255.255.255.255, 0.0.0.0/8, multicast and reserved ones. "
      "A target that already answers at the address is sent nothing (unless --force).\n"
      "With --pool the address comes from the range: the one of it the target holds when no "
      "other target holds it too, else the lowest that no answering target holds; the target "
      "must answer the discovery.\n"
      "The target does not answer the request itself: --verify learns its address from a new "
      "discovery.\n"
      "With --range both discoveries sweep the range, and the request also goes straight to "
      "the address the target answered from, as no broadcast crosses a router.\n"
      "Exit status: 0 sent (and with --verify: confirmed), 1 refused, failed or not confirmed, "
      "2 on a usage error.");
  return [options] {
    if (options->address.empty() == options->pool.empty()) {
      throw UsageError("give the address: IP, or --pool FIRST-LAST");
    }
    return Assign(*options);
  };
}

}  // namespace qor::cli
