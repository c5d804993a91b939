#include "tools/qorctl/NetworkOptions.h"

#include <vector>

#include "net/Target.h"
#include "tools/cli/NumberValidators.h"
#include "tools/qorctl/Validators.h"

namespace qor::cli {

CLI::Option* AddBroadcastOption(CLI::App& command, std::string& broadcast,
                                const std::string& what) {
  return command
      .add_option("--broadcast", broadcast,
                  "Send " + what +
                      " to ADDR alone, e.g. one adapter's subnet broadcast (default: "
                      "255.255.255.255 and the subnet broadcast of every adapter)")
      ->type_name("ADDR")
      ->check(Ipv4Validator());
}

CLI::Option* AddWaitOption(CLI::App& command, uint32_t& waitMs, const std::string& what) {
  return command.add_option("--wait", waitMs, "Wait MS milliseconds for " + what)
      ->type_name("MS")
      ->capture_default_str()
      ->check(WholeNumber(0, 3600000));
}

void AddNetworkOptions(CLI::App& command, NetworkChoice& choice, const std::string& sent,
                       const std::string& awaited) {
  AddBroadcastOption(command, choice.broadcast, sent);
  AddWaitOption(command, choice.waitMs, awaited);
}

TargetNetwork::BroadcastAddresses BroadcastsFor(const NetworkChoice& choice) {
  return BroadcastsFor(choice.broadcast);
}

TargetNetwork::BroadcastAddresses BroadcastsFor(const std::string& broadcast) {
  if (broadcast.empty()) return TargetNetwork::EveryAdapter();
  const uint32_t address = *ParseIpAddress(broadcast);
  return [address] { return std::vector<uint32_t>{address}; };
}

}  // namespace qor::cli
