#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "net/NetworkSetup.h"
#include "net/RangeSweep.h"
#include "net/TargetNetwork.h"

namespace qor::cli {

// The options of the commands that talk to targets, worded alike in each.

// The network options as typed.
struct NetworkOptions {
  std::string broadcast;  // --broadcast ADDR; empty: the defaults
  std::string adapter;    // --interface NAME; empty: every adapter
  std::string range;      // --range CIDR; empty: broadcasts alone
  uint32_t rate = RangeSweep::kDefaultRate;
};

// Adds --broadcast, --interface, --range and --rate to command; what names what is sent ("the
// discovery"). One call gives a command every way of reaching targets.
void AddNetworkOptions(CLI::App& command, NetworkOptions& options, const std::string& what);

// The network the options describe: a range that is malformed, larger than a /16 or holds no
// possible target address never gets here (the option's check refuses it).
[[nodiscard]] NetworkSetup SetupOf(const NetworkOptions& options);

// SetupOf(options).Open(wrap): throws Exception for an adapter that cannot be used, naming the
// adapters there are.
[[nodiscard]] std::unique_ptr<TargetNetwork> OpenNetwork(
    const NetworkOptions& options, const NetworkSetup::SocketWrapper& wrap = {});

// --wait MS, 0 to 3600000; what says what is waited for ("answers to the discovery").
CLI::Option* AddWaitOption(CLI::App& command, uint32_t& waitMs, const std::string& what);

// The network options of a command that discovers targets before it talks to one of them, taken
// in one call so that such a command gains each new shared option at once.
struct NetworkChoice {
  NetworkOptions network;
  uint32_t waitMs = 1000;
};
// AddNetworkOptions and --wait; sent names what is broadcast, awaited what --wait waits for.
void AddNetworkOptions(CLI::App& command, NetworkChoice& choice, const std::string& sent,
                       const std::string& awaited);

}  // namespace qor::cli
