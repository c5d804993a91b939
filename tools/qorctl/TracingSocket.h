#pragma once

#include <memory>
#include <string>

#include "platform/DatagramSocket.h"

namespace qor {
class UdpSocket;
}

namespace qor::cli {

// The program's socket, writing every datagram it sends and every one it receives to a JSON
// Lines trace in the shape of qor-sim --trace (out "sent" or "failed", in "received"), for
// debugging in the field.
class TracingSocket final : public DatagramSocket {
 public:
  // Creates or empties the file; throws Exception("Cannot write trace file \"%s\"").
  TracingSocket(std::unique_ptr<UdpSocket> socket, const std::string& path);
  ~TracingSocket() override;  // writes out what is left
  TracingSocket(const TracingSocket&) = delete;
  TracingSocket& operator=(const TracingSocket&) = delete;

  int SendTo(const uint8_t* data, size_t length, uint32_t address, uint16_t port) override;
  int ReceiveFrom(uint8_t* buffer, size_t capacity, uint32_t& address, uint16_t& port) override;
  [[nodiscard]] int LastError() const override;
  // Writes the lines so far out before it waits.
  bool WaitReadable(int timeoutMs) override;
  void Close() override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor::cli
