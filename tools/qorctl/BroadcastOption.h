#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "net/TargetNetwork.h"

namespace qor::cli {

// --broadcast ADDR, worded alike in every command that broadcasts; what names what is sent.
CLI::Option* AddBroadcastOption(CLI::App& command, std::string& broadcast, const std::string& what);

// The one address --broadcast named; without it 255.255.255.255 and the subnet broadcast of
// every adapter that is up.
[[nodiscard]] TargetNetwork::BroadcastAddresses BroadcastsFor(const std::string& broadcast);

}  // namespace qor::cli
