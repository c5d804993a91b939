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

// The one address --broadcast named; without it 255.255.255.255 and the subnet broadcast of
// every adapter that is up.
[[nodiscard]] TargetNetwork::BroadcastAddresses BroadcastsFor(const std::string& broadcast);

}  // namespace qor::cli
