#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <vector>

#include "platform/DatagramSocket.h"

namespace qor::test {

// A socket that records every datagram sent and hands out queued datagrams on receive.
class FakeDatagramSocket final : public DatagramSocket {
 public:
  struct Datagram {
    std::vector<uint8_t> bytes;
    uint32_t address = 0;
    uint16_t port = 0;
  };

  std::vector<Datagram> sent;
  std::deque<Datagram> incoming;
  int sendError = 0;                    // when non-zero, SendTo fails with it
  std::map<uint32_t, int> sendErrorTo;  // SendTo to one of these addresses fails with its error
  // When set, the error a datagram about to be sent fails with (0: it is sent).
  std::function<int(const Datagram&)> sendErrorFor;
  int shortSendBy = 0;  // when non-zero, SendTo reports that many bytes fewer
  int lastError = 0;
  bool closed = false;
  intptr_t nativeHandle = -1;  // what a window system would watch
  // Called with each datagram once it is recorded: a fake target may queue its answer here.
  std::function<void(const Datagram&)> onSend;
  // Called by WaitReadable with its timeout before it looks at the queue: a test may move its
  // fake clock, as a real wait would, or queue a datagram.
  std::function<void(int timeoutMs)> onWait;

  int SendTo(const uint8_t* data, size_t length, uint32_t address, uint16_t port) override {
    Datagram datagram{std::vector<uint8_t>(data, data + length), address, port};
    const int error = sendErrorFor ? sendErrorFor(datagram) : sendError;
    if (error != 0) {
      lastError = error;
      return -1;
    }
    if (const auto failing = sendErrorTo.find(address); failing != sendErrorTo.end()) {
      lastError = failing->second;
      return -1;
    }
    sent.push_back(std::move(datagram));
    if (onSend) onSend(sent.back());
    return static_cast<int>(length) - shortSendBy;
  }

  int ReceiveFrom(uint8_t* buffer, size_t capacity, uint32_t& address, uint16_t& port) override {
    if (incoming.empty()) {
      lastError = wsa::kWouldBlock;
      return -1;
    }
    Datagram next = std::move(incoming.front());
    incoming.pop_front();
    if (next.bytes.size() > capacity) {
      lastError = wsa::kMessageSize;
      return -1;
    }
    std::copy(next.bytes.begin(), next.bytes.end(), buffer);
    address = next.address;
    port = next.port;
    return static_cast<int>(next.bytes.size());
  }

  int LastError() const override { return lastError; }
  bool WaitReadable(int timeoutMs) override {
    if (onWait) onWait(timeoutMs);
    return !incoming.empty();
  }
  intptr_t NativeHandle() const override { return nativeHandle; }
  void Close() override { closed = true; }

  // Queues a datagram as if it came from a target at 127.0.0.10 (port 5266 unless given).
  void Deliver(std::vector<uint8_t> bytes, uint16_t port = 5266, uint32_t address = 0x7F00000A) {
    incoming.push_back({std::move(bytes), address, port});
  }
};

}  // namespace qor::test
