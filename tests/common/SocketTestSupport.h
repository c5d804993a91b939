#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "net/TargetNetwork.h"

namespace qor::test {

// A plain socket bound to one port (5266 by default), standing in for a target. Only for tests
// that run inside their own network namespace.
class Peer {
 public:
  explicit Peer(uint16_t port = 5266) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  }
  ~Peer() { close(fd_); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // The next datagram, or nothing within timeoutMs.
  std::vector<uint8_t> Receive(uint32_t& address, uint16_t& port, int timeoutMs = 2000) {
    pollfd entry{fd_, POLLIN, 0};
    if (poll(&entry, 1, timeoutMs) <= 0) return {};
    std::vector<uint8_t> bytes(65536);
    sockaddr_in source{};
    socklen_t length = sizeof source;
    const ssize_t got =
        recvfrom(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&source), &length);
    bytes.resize(got < 0 ? 0 : static_cast<size_t>(got));
    address = ntohl(source.sin_addr.s_addr);
    port = ntohs(source.sin_port);
    return bytes;
  }

  void SendTo(const std::vector<uint8_t>& bytes, uint32_t address, uint16_t port) {
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_addr.s_addr = htonl(address);
    destination.sin_port = htons(port);
    ASSERT_EQ(sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&destination),
                     sizeof destination),
              static_cast<ssize_t>(bytes.size()));
  }

 private:
  int fd_ = -1;
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
