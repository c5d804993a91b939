#include "tools/qorctl/NetworkOptions.h"

#include "net/AddressRange.h"
#include "net/Target.h"
#include "platform/Exception.h"
#include "tools/cli/NumberValidators.h"
#include "tools/qorctl/Validators.h"

namespace qor::cli {

namespace {

// The most requests a second --rate allows: beyond it a sweep would be a flood.
constexpr uint32_t kMostRate = 100000;

CLI::Validator RangeValidator() {
  return CLI::Validator(
      [](std::string& text) {
        try {
          (void)AddressRange::Parse(text);
          return std::string();
        } catch (const Exception& error) {
          return error.Message();
        }
      },
      "");
}

// --broadcast ADDR; what names what is sent ("the discovery").
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

}  // namespace

void AddNetworkOptions(CLI::App& command, NetworkOptions& options, const std::string& what) {
  AddBroadcastOption(command, options.broadcast, what);
  command
      .add_option("--interface", options.adapter,
                  "Send and listen through adapter NAME alone (qorctl adapters lists them): "
                  "broadcasts go to 255.255.255.255 and its subnet broadcast out of it")
      ->type_name("NAME");
  CLI::Option* range =
      command
          .add_option("--range", options.range,
                      "Also send each discovery to every address of CIDR one by one, e.g. "
                      "10.71.4.0/24 (at most a /16): targets behind a router answer too")
          ->type_name("CIDR")
          ->check(RangeValidator());
  command
      .add_option("--rate", options.rate,
                  "With --range: send to at most N addresses a second, from 1 to 100000")
      ->type_name("N")
      ->capture_default_str()
      ->check(WholeNumber(1, kMostRate))
      ->needs(range);
}

NetworkSetup SetupOf(const NetworkOptions& options) {
  NetworkSetup setup;
  setup.adapter = options.adapter;
  if (!options.broadcast.empty()) setup.broadcast = ParseIpAddress(options.broadcast);
  if (!options.range.empty()) setup.range = AddressRange::Parse(options.range);
  setup.rate = options.rate;
  return setup;
}

std::unique_ptr<TargetNetwork> OpenNetwork(const NetworkOptions& options,
                                           const NetworkSetup::SocketWrapper& wrap) {
  return SetupOf(options).Open(wrap);
}

CLI::Option* AddWaitOption(CLI::App& command, uint32_t& waitMs, const std::string& what) {
  return command.add_option("--wait", waitMs, "Wait MS milliseconds for " + what)
      ->type_name("MS")
      ->capture_default_str()
      ->check(WholeNumber(0, 3600000));
}

void AddNetworkOptions(CLI::App& command, NetworkChoice& choice, const std::string& sent,
                       const std::string& awaited) {
  AddNetworkOptions(command, choice.network, sent);
  AddWaitOption(command, choice.waitMs, awaited);
}

}  // namespace qor::cli
