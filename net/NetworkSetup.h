#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "net/AddressRange.h"
#include "net/RangeSweep.h"

namespace qor {

class DatagramSocket;
class TargetNetwork;
class UdpSocket;

// How a front end wants the targets reached: the network options of the command line (or of a
// script's caller) in one record, so that every program opens its network the same way.
struct NetworkSetup {
  // Send and listen through this adapter alone; empty: every adapter.
  std::string adapter;
  // Broadcasts go to this address alone (through the adapter, when one is named).
  std::optional<uint32_t> broadcast;
  // Every discovery also goes to each address of this range by unicast, at rate a second.
  std::optional<AddressRange> range;
  uint32_t rate = RangeSweep::kDefaultRate;

  // Wraps the real socket before the network takes it (a trace of every message, say).
  using SocketWrapper = std::function<std::unique_ptr<DatagramSocket>(std::unique_ptr<UdpSocket>)>;

  // Opens the network this describes. Throws Exception for an adapter that does not exist, is
  // down or has no IPv4 address (naming those there are), or when the socket cannot be made.
  [[nodiscard]] std::unique_ptr<TargetNetwork> Open(const SocketWrapper& wrap = {}) const;
};

}  // namespace qor
