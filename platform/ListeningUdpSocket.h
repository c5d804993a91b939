#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace qor {

// A non-blocking UDP socket bound to one address and port, as a device listens: it learns the
// address each datagram was sent to and can answer from a chosen local address. A wait on it can
// be woken from another thread. Addresses and ports are in host order; errors are Windows
// Sockets codes on every OS.
class ListeningUdpSocket {
 public:
  // The queues asked for in each direction, so that bursts to and from thousands of targets fit.
  static constexpr int kWantedBuffer = 8 * 1024 * 1024;

  struct Datagram {
    size_t length = 0;  // as sent; more than the capacity given when it did not fit
    uint32_t source = 0;
    uint16_t sourcePort = 0;
    uint32_t destination = 0;  // the address it was sent to (a broadcast, or one of ours)
  };

  enum class Wait { kReadable, kWoken, kTimedOut };

  ListeningUdpSocket();  // nothing open yet
  ~ListeningUdpSocket();
  ListeningUdpSocket(const ListeningUdpSocket&) = delete;
  ListeningUdpSocket& operator=(const ListeningUdpSocket&) = delete;

  // Binds to address:port. Throws Exception naming the failing step and the reason.
  void Open(uint32_t address, uint16_t port);
  void Close();

  // Takes the next datagram, keeping at most capacity bytes of it; nothing when none waits.
  std::optional<Datagram> Receive(uint8_t* buffer, size_t capacity);
  // Sends one datagram from source (0: whatever address the system picks). Returns 0, or the
  // Windows Sockets code of the failure.
  int Send(const uint8_t* data, size_t length, uint32_t source, uint32_t destination,
           uint16_t port);

  // Until a datagram waits, Wake is called or timeoutMs pass (-1: no limit). A wake is kept
  // until a wait takes it.
  Wait WaitReadable(int timeoutMs);
  // Whether the send queue takes a datagram within timeoutMs.
  bool WaitWritable(int timeoutMs);
  // Ends the current or next wait; callable from any thread while the socket is open.
  void Wake();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
