#include "tools/qorctl/BroadcastOption.h"

#include <vector>

#include "net/Target.h"
#include "tools/qorctl/Validators.h"

namespace qor::cli {

CLI::Option* AddBroadcastOption(CLI::App& command, std::string& broadcast,
                                const std::string& what) {
  return command
      .add_option("--broadcast", broadcast,
                  what +
                      " goes to ADDR alone, e.g. one adapter's subnet broadcast (default: "
                      "255.255.255.255 and every adapter's subnet broadcast)")
      ->type_name("ADDR")
      ->check(Ipv4Validator());
}

TargetNetwork::BroadcastAddresses BroadcastsFor(const std::string& broadcast) {
  if (broadcast.empty()) return TargetNetwork::EveryAdapter();
  const uint32_t address = *ParseIpAddress(broadcast);
  return [address] { return std::vector<uint32_t>{address}; };
}

}  // namespace qor::cli
