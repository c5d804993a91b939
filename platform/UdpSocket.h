#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/DatagramSocket.h"

namespace qor {

struct NetworkInterface;

// The real socket: non-blocking IPv4 UDP with broadcasts enabled, never bound explicitly (the
// stack picks an ephemeral port on the first send). Errors are Windows Sockets codes on every OS.
// On Linux no call waits unless it is asked to (MSG_DONTWAIT on each), so that a receive can
// do its own waiting; elsewhere the socket is switched to non-blocking mode.
class UdpSocket final : public DatagramSocket {
 public:
  // The receive queue asked for, so that thousands of targets answering one broadcast fit.
  static constexpr int kWantedReceiveBuffer = 8 * 1024 * 1024;

  // Opens the socket. Throws Exception with the text of the failing step.
  UdpSocket();
  ~UdpSocket() override;
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  int SendTo(const uint8_t* data, size_t length, uint32_t address, uint16_t port) override;
  int ReceiveFrom(uint8_t* buffer, size_t capacity, uint32_t& address, uint16_t& port) override;
  int ReceiveBatch(ReceiveSlot* slots, int count) override;
  int ReceiveBatchWaiting(ReceiveSlot* slots, int count, int timeoutMs) override;
  int SendBatch(const SendSlot* slots, int count) override;
  [[nodiscard]] int LastError() const override;
  bool WaitReadable(int timeoutMs) override;
  [[nodiscard]] intptr_t NativeHandle() const override;
  void Close() override;

  // Sends and listens through adapter alone, before the first send: on Linux the socket is
  // bound to the device, so a limited broadcast leaves by it too; on Windows it is bound to the
  // adapter's first address, which makes Windows send even a limited broadcast out of it.
  // Throws Exception("Cannot use adapter \"%s\": %s").
  void BindToInterface(const NetworkInterface& adapter);

  // The receive queue the system granted, in bytes of its own accounting (0 when unknown).
  [[nodiscard]] int ReceiveBufferSize() const;
  // The port the stack gave the socket (host order); 0 before the first send.
  [[nodiscard]] uint16_t LocalPort() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Prepares the process for sockets (Windows Sockets 1.1 at start-up; POSIX needs nothing);
// false when the system refuses. Each UdpSocket still asks for the version it uses itself.
[[nodiscard]] bool InitSocketSupport();

}  // namespace qor
