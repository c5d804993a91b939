#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

#include "net/TargetNetwork.h"

namespace qor::cli {

// The options of the commands that broadcast, worded alike in each.

// --broadcast ADDR; what names what is sent ("The discovery").
CLI::Option* AddBroadcastOption(CLI::App& command, std::string& broadcast, const std::string& what);

// --wait MS, 0 to 3600000; what says what is waited for ("answers to the discovery").
CLI::Option* AddWaitOption(CLI::App& command, uint32_t& waitMs, const std::string& what);

// The network options of a command that discovers targets before it talks to one of them, taken
// in one call so that such a command gains each new shared option at once.
struct NetworkChoice {
  std::string broadcast;  // empty: every adapter
  uint32_t waitMs = 1000;
};
// --broadcast and --wait; sent names what is broadcast, awaited what --wait waits for.
void AddNetworkOptions(CLI::App& command, NetworkChoice& choice, const std::string& sent,
                       const std::string& awaited);
// Where the command's broadcasts go.
[[nodiscard]] TargetNetwork::BroadcastAddresses BroadcastsFor(const NetworkChoice& choice);

// The one address --broadcast named; without it 255.255.255.255 and the subnet broadcast of
// every adapter that is up.
[[nodiscard]] TargetNetwork::BroadcastAddresses BroadcastsFor(const std::string& broadcast);

}  // namespace qor::cli
