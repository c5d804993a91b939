#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "net/AddressAssignment.h"
#include "net/TargetNetwork.h"
#include "net/TargetTable.h"
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
// else's, else the first free one (held by no target that answered). Empty, with the reason,
// when the target did not answer or the pool has none left.
std::optional<uint32_t> FromPool(const AddressPool& pool, const MacAddress& mac,
                                 const TargetTable& table, std::string& problem) {
  const Target* target = nullptr;
  for (const Target* listed : table.InArrivalOrder()) {
    if (listed->mac == mac) target = listed;
  }
  if (target == nullptr) {
    problem = mac.ToString() +
              " did not answer the discovery; the pool gives addresses only to targets that "
              "answer.";
    return std::nullopt;
  }
  if (pool.Contains(target->ipAddress)) {
    bool shared = false;
    for (const Target* other : table.InArrivalOrder()) {
      shared = shared || (other->mac != mac && other->ipAddress == target->ipAddress);
    }
    if (!shared) return target->ipAddress;
  }
  const AddressPool::Choice choice = pool.Choose(mac, table, RecordHistory{});
  if (!choice.address) problem = choice.problem;
  return choice.address;
}

int Assign(const AssignOptions& options) {
  AssignmentRequest request;
  request.mac = *MacAddress::Parse(options.mac);
  request.verify = options.verify;
  request.force = options.force;
  request.dryRun = options.dryRun;
  request.waitMs = options.waitMs;
  if (options.pool.empty()) {
    request.address = *ParseIpAddress(options.address);
    // Refused before the network is opened: nothing would be sent.
    if (const std::string problem = AssignmentProblem(request.mac, request.address);
        !problem.empty()) {
      std::fprintf(stderr, "%s\n", problem.c_str());
      return 1;
    }
  } else {
    request.choose = [pool = std::make_shared<AddressPool>(AddressPool::Range(options.pool)),
                      mac = request.mac](const TargetTable& table, std::string& problem) {
      return FromPool(*pool, mac, table, problem);
    };
  }
  const std::unique_ptr<TargetNetwork> network = OpenNetwork(options.network);
  const AssignmentResult result = AssignAddress(*network, request, ConsoleDiscoveryHooks());
  if (options.json && result.ok) {
    PrintJson(request.mac, result.address, result.before, result.changed, result.confirmed);
  } else if (!result.text.empty()) {
    std::fprintf(result.ok ? stdout : stderr, "%s\n", result.text.c_str());
  }
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
