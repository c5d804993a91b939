#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "net/TargetNetwork.h"
#include "platform/ListeningUdpSocket.h"

namespace qor::test {

// A plain socket bound to one port (5266 by default), standing in for a target. Only for tests
// that run inside their own network namespace.
class Peer {
 public:
  explicit Peer(uint16_t port = 5266) { socket_.Open(0, port); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // The next datagram, or nothing within timeoutMs.
  std::vector<uint8_t> Receive(uint32_t& address, uint16_t& port, int timeoutMs = 2000) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<uint8_t> bytes(65536);
    for (;;) {
      if (const auto received = socket_.Receive(bytes.data(), bytes.size())) {
        bytes.resize(received->length);
        address = received->source;
        port = received->sourcePort;
        return bytes;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return {};
      socket_.WaitReadable(static_cast<int>(left));
    }
  }

  void SendTo(const std::vector<uint8_t>& bytes, uint32_t address, uint16_t port) {
    ASSERT_EQ(socket_.Send(bytes.data(), bytes.size(), 0, address, port), 0);
  }

 private:
  ListeningUdpSocket socket_;
};

// Polls the network until done() holds or timeoutMs of real time pass.
template <typename Done>
bool PollUntil(TargetNetwork& network, Done done, int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  network.Poll();
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    network.WaitReadable(20);
    network.Poll();
  }
  return true;
}

}  // namespace qor::test
