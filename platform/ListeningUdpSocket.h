#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace qor {

// A UDP socket bound to one address and port, as a device listens: it learns the address each
// datagram was sent to and answers from a chosen local address. Datagrams come in and go out in
// batches, each batch with one system call where the system has one (Linux). A wait on it can be
// interrupted from another thread. Addresses and ports are in host order; errors are Windows
// Sockets codes on every OS.
class ListeningUdpSocket {
 public:
  // The queues asked for in each direction, so that bursts to and from thousands of targets fit.
  static constexpr int kWantedBuffer = 8 * 1024 * 1024;
  // The most datagrams one call takes in or sends.
  static constexpr int kBatch = 64;

  struct Datagram {
    std::span<const uint8_t> bytes;  // what was kept of it, at most the capacity
    size_t length = 0;               // as sent; more than bytes.size() when it did not fit
    uint32_t source = 0;
    uint16_t sourcePort = 0;
    uint32_t destination = 0;  // the address it was sent to (a broadcast, or one of ours)
  };

  struct Outgoing {
    std::span<const uint8_t> bytes;
    uint32_t source = 0;  // the local address to send from; 0: whichever the system picks
    uint32_t destination = 0;
    uint16_t port = 0;
  };

  enum class Wait { kReadable, kInterrupted, kTimedOut };

  // capacity: how many bytes of each datagram taken in are kept.
  explicit ListeningUdpSocket(size_t capacity);
  ~ListeningUdpSocket();
  ListeningUdpSocket(const ListeningUdpSocket&) = delete;
  ListeningUdpSocket& operator=(const ListeningUdpSocket&) = delete;

  // Binds to address:port. Throws Exception naming the failing step and the reason.
  void Open(uint32_t address, uint16_t port);
  void Close();

  // Takes up to kBatch waiting datagrams; with wait, first sleeps until one comes or Interrupt
  // is called. Returns how many were taken (0: none, or interrupted); Received describes each
  // until the next call.
  int Receive(bool wait);
  [[nodiscard]] const Datagram& Received(int index) const;

  // Sends up to kBatch datagrams in order. Returns how many went; 0 when the first did not, with
  // error set to its Windows Sockets code.
  int Send(std::span<const Outgoing> datagrams, int& error);

  // Until a datagram waits, Interrupt is called or timeoutMs pass (-1: no limit).
  Wait WaitReadable(int timeoutMs);
  // Whether the send queue takes a datagram within timeoutMs.
  bool WaitWritable(int timeoutMs);
  // Ends the current wait and every later one, for the thread that serves the socket to stop.
  // Callable from any thread while the socket is open.
  void Interrupt();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
