#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <deque>
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
    while (pending_.empty()) {
      const int taken = socket_.Receive(/*wait=*/false);
      for (int i = 0; i < taken; ++i) {
        const ListeningUdpSocket::Datagram& datagram = socket_.Received(i);
        pending_.push_back({std::vector<uint8_t>(datagram.bytes.begin(), datagram.bytes.end()),
                            datagram.source, datagram.sourcePort});
      }
      if (taken > 0) break;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return {};
      socket_.WaitReadable(static_cast<int>(left));
    }
    Taken next = std::move(pending_.front());
    pending_.pop_front();
    address = next.source;
    port = next.sourcePort;
    return std::move(next.bytes);
  }

  void SendTo(const std::vector<uint8_t>& bytes, uint32_t address, uint16_t port) {
    const ListeningUdpSocket::Outgoing datagram{bytes, 0, address, port};
    int error = 0;
    ASSERT_EQ(socket_.Send({&datagram, 1}, error), 1) << error;
  }

 private:
  struct Taken {
    std::vector<uint8_t> bytes;
    uint32_t source = 0;
    uint16_t sourcePort = 0;
  };
  ListeningUdpSocket socket_{65536};
  std::deque<Taken> pending_;
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
