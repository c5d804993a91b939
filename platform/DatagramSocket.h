#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

// Windows Sockets error codes; the socket layer reports these on every OS.
namespace wsa {
inline constexpr int kNotEnoughMemory = 8;
inline constexpr int kInvalidParameter = 87;
inline constexpr int kInterrupted = 10004;
inline constexpr int kAccess = 10013;
inline constexpr int kFault = 10014;
inline constexpr int kInvalid = 10022;
inline constexpr int kTooManyFiles = 10024;
inline constexpr int kWouldBlock = 10035;
inline constexpr int kInProgress = 10036;
inline constexpr int kAlready = 10037;
inline constexpr int kNotSocket = 10038;
inline constexpr int kDestinationRequired = 10039;
inline constexpr int kMessageSize = 10040;
inline constexpr int kProtocolType = 10041;
inline constexpr int kNoProtocolOption = 10042;
inline constexpr int kProtocolNotSupported = 10043;
inline constexpr int kSocketTypeNotSupported = 10044;
inline constexpr int kOperationNotSupported = 10045;
inline constexpr int kProtocolFamilyNotSupported = 10046;
inline constexpr int kAddressFamilyNotSupported = 10047;
inline constexpr int kAddressInUse = 10048;
inline constexpr int kAddressNotAvailable = 10049;
inline constexpr int kNetworkDown = 10050;
inline constexpr int kNetworkUnreachable = 10051;
inline constexpr int kNetworkReset = 10052;
inline constexpr int kConnectionAborted = 10053;
inline constexpr int kConnectionReset = 10054;
inline constexpr int kNoBuffers = 10055;
inline constexpr int kIsConnected = 10056;
inline constexpr int kNotConnected = 10057;
inline constexpr int kShutdown = 10058;
inline constexpr int kTimedOut = 10060;
inline constexpr int kConnectionRefused = 10061;
inline constexpr int kHostDown = 10064;
inline constexpr int kHostUnreachable = 10065;
inline constexpr int kSystemCallFailure = 10107;
}  // namespace wsa

// Where a batch receive puts one datagram, and what it learnt of it.
struct ReceiveSlot {
  uint8_t* buffer = nullptr;  // room for capacity bytes
  size_t capacity = 0;
  int length = 0;  // bytes received; -1 when the datagram was longer than capacity (it is lost)
  uint32_t address = 0;
  uint16_t port = 0;
};

// One datagram of a batch send.
struct SendSlot {
  const uint8_t* data = nullptr;
  size_t length = 0;
  uint32_t address = 0;
  uint16_t port = 0;
};

// The one non-blocking IPv4 UDP endpoint the program talks through. An interface so tests can
// capture what is sent and feed replies back in. Addresses and ports are in host order.
class DatagramSocket {
 public:
  virtual ~DatagramSocket() = default;

  // Sends one datagram. Returns the count sent, or -1 with LastError() set.
  virtual int SendTo(const uint8_t* data, size_t length, uint32_t address, uint16_t port) = 0;

  // Receives one waiting datagram into buffer. Returns its length, or -1 with LastError() set:
  // kWouldBlock when nothing is waiting, kMessageSize when the datagram was longer than capacity
  // (it is consumed and lost).
  virtual int ReceiveFrom(uint8_t* buffer, size_t capacity, uint32_t& address, uint16_t& port) = 0;

  // Receives waiting datagrams into slots, in order of arrival, as many as wait and fit: with
  // one system call where the platform has one. Returns how many slots were filled, or -1 with
  // LastError() set when not even one was (kWouldBlock: nothing waits). A slot whose datagram
  // did not fit has length -1. The base receives one at a time and stops after such a slot.
  // A caller that calls again with the same slots keeps their buffers where they were.
  virtual int ReceiveBatch(ReceiveSlot* slots, int count);

  // As ReceiveBatch, once a datagram is waiting or timeoutMs (-1: no limit) has passed: waiting
  // and receiving in one system call where the platform allows. The base waits with
  // WaitReadable, then receives.
  virtual int ReceiveBatchWaiting(ReceiveSlot* slots, int count, int timeoutMs);

  // Sends the datagrams in order, with one system call where the platform has one. Returns how
  // many were sent whole, or -1 with LastError() set when the first was not.
  virtual int SendBatch(const SendSlot* slots, int count);

  // The Windows Sockets code of the last failed call.
  [[nodiscard]] virtual int LastError() const = 0;

  // Blocks until a datagram is waiting or timeoutMs passes; true when one is waiting.
  virtual bool WaitReadable(int timeoutMs) = 0;

  // The operating system's handle (a file descriptor, a SOCKET), for a window system to watch
  // for datagrams; -1 when there is none.
  [[nodiscard]] virtual intptr_t NativeHandle() const { return -1; }

  // Closes the handle when it is open; later calls fail with kNotSocket.
  virtual void Close() = 0;
};

}  // namespace qor
