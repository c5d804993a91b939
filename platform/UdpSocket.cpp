#include "platform/UdpSocket.h"

#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/NetworkAdapters.h"
#include "platform/ReceiveSpin.h"
#include "platform/SocketAddress.h"
#include "platform/WinsockErrorText.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#endif

namespace qor {

// Everything that differs between Windows Sockets and POSIX sockets stays in this block.
namespace {
#ifdef _WIN32
using Handle = SOCKET;
const Handle kInvalidHandle = INVALID_SOCKET;
using AddressLength = int;

int StartSockets() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 0), &data);
}
void StopSockets() { WSACleanup(); }
int LastSocketError() { return WSAGetLastError(); }
Handle OpenHandle() {
  const Handle handle = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  // As SOCK_CLOEXEC elsewhere: a program started from this one must not hold the socket open.
  if (handle != INVALID_SOCKET) {
    SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0);
  }
  return handle;
}
bool MakeNonBlocking(Handle handle) {
  u_long on = 1;
  return ioctlsocket(handle, FIONBIO, &on) == 0;
}
// The socket itself does not wait.
constexpr int kNoWait = 0;
void CloseHandle(Handle handle) { closesocket(handle); }
bool SetIntOption(Handle handle, int name, int value) {
  return setsockopt(handle, SOL_SOCKET, name, reinterpret_cast<const char*>(&value),
                    sizeof value) == 0;
}
int GetIntOption(Handle handle, int name) {
  int value = 0;
  int length = sizeof value;
  if (getsockopt(handle, SOL_SOCKET, name, reinterpret_cast<char*>(&value), &length) != 0) {
    return 0;
  }
  return value;
}
void AskForLargeReceiveBuffer(Handle handle, int bytes) { SetIntOption(handle, SO_RCVBUF, bytes); }
// Winsock reports an oversized datagram itself (WSAEMSGSIZE) and drops the rest of it.
int ReceiveFlags() { return 0; }
bool WaitForInput(Handle handle, int timeoutMs) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(handle, &readable);
  timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return select(0, &readable, nullptr, nullptr, timeoutMs < 0 ? nullptr : &timeout) > 0;
}
#else
using Handle = int;
const Handle kInvalidHandle = -1;
using AddressLength = socklen_t;

int StartSockets() { return 0; }
void StopSockets() {}
int LastSocketError() { return WsaCodeFromErrno(errno); }
Handle OpenHandle() {
  int type = SOCK_DGRAM;
#ifdef SOCK_CLOEXEC
  type |= SOCK_CLOEXEC;
#endif
  return socket(AF_INET, type, IPPROTO_UDP);
}
#ifdef __linux__
// The socket stays blocking and every call that must not wait says so with MSG_DONTWAIT: then
// waiting for the next datagram and taking it in are one call (ReceiveBatchWaiting), where a
// non-blocking socket needs a poll first.
bool MakeNonBlocking(Handle) { return true; }
constexpr int kNoWait = MSG_DONTWAIT;
#else
bool MakeNonBlocking(Handle handle) {
  int on = 1;
  return ioctl(handle, FIONBIO, &on) == 0;
}
constexpr int kNoWait = 0;
#endif
void CloseHandle(Handle handle) { close(handle); }
bool SetIntOption(Handle handle, int name, int value) {
  return setsockopt(handle, SOL_SOCKET, name, &value, sizeof value) == 0;
}
int GetIntOption(Handle handle, int name) {
  int value = 0;
  socklen_t length = sizeof value;
  if (getsockopt(handle, SOL_SOCKET, name, &value, &length) != 0) return 0;
  return value;
}
void AskForLargeReceiveBuffer(Handle handle, int bytes) {
#ifdef SO_RCVBUFFORCE
  // Past net.core.rmem_max only with CAP_NET_ADMIN; otherwise the plain request is capped there.
  if (SetIntOption(handle, SO_RCVBUFFORCE, bytes)) return;
#endif
  SetIntOption(handle, SO_RCVBUF, bytes);
}
// Linux truncates an oversized datagram silently; MSG_TRUNC makes it report the real length.
int ReceiveFlags() {
#ifdef MSG_TRUNC
  return MSG_TRUNC;
#else
  return 0;
#endif
}
bool WaitForInput(Handle handle, int timeoutMs) {
  pollfd entry{handle, POLLIN, 0};
  return poll(&entry, 1, timeoutMs) > 0 && (entry.revents & POLLIN) != 0;
}
#endif
}  // namespace

bool InitSocketSupport() {
#ifdef _WIN32
  // Once for the process, released when it ends.
  static const bool started = [] {
    WSADATA data;
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0) return false;
    std::atexit([] { WSACleanup(); });
    return true;
  }();
  return started;
#else
  return true;
#endif
}

namespace {
// The most datagrams one batch call takes or sends; a larger batch is left to the next call.
constexpr int kMostPerCall = 64;

#ifdef __linux__
// The headers of one batch receive, kept from call to call: callers reuse their slots.
struct ReceiveHeaders {
  int prepared = 0;                    // headers set up for the slots, from the first
  const ReceiveSlot* slots = nullptr;  // the slots they were set up for
  mmsghdr headers[kMostPerCall] = {};
  iovec parts[kMostPerCall] = {};
  sockaddr_in sources[kMostPerCall] = {};
};
#endif
}  // namespace

struct UdpSocket::State {
  Handle handle = kInvalidHandle;
  bool started = false;
  int lastError = 0;
  int receiveTimeoutMs = -1;  // the bound of a waiting receive; -1: forever, as a new socket
#ifdef __linux__
  std::unique_ptr<ReceiveHeaders> headers;
  ReceiveSpin spin;
  ReceiveHeaders& Headers() {
    if (!headers) headers = std::make_unique<ReceiveHeaders>();
    return *headers;
  }
#endif

  ~State() {
    if (handle != kInvalidHandle) CloseHandle(handle);
    if (started) StopSockets();
  }
};

UdpSocket::UdpSocket() : state_(std::make_unique<State>()) {
  const int startResult = StartSockets();
  if (startResult != 0) {
    throw Exception(
        Format("Failed to initialize Windows Sockets (%08x)", static_cast<unsigned>(startResult)));
  }
  state_->started = true;

  state_->handle = OpenHandle();
  if (state_->handle == kInvalidHandle) {
    throw Exception(
        Format("Failed to create socket: %s", WinsockErrorText(LastSocketError()).c_str()));
  }
  if (!MakeNonBlocking(state_->handle)) {
    throw Exception(Format("Failed ioctlsocket: %s", WinsockErrorText(LastSocketError()).c_str()));
  }
  if (!SetIntOption(state_->handle, SO_BROADCAST, 1)) {
    throw Exception(Format("Could not enable broadcasts on socket: %s",
                           WinsockErrorText(LastSocketError()).c_str()));
  }
  // Best effort: a smaller queue still works, it only holds fewer simultaneous answers.
  AskForLargeReceiveBuffer(state_->handle, kWantedReceiveBuffer);
}

UdpSocket::~UdpSocket() = default;

int UdpSocket::SendTo(const uint8_t* data, size_t length, uint32_t address, uint16_t port) {
  if (state_->handle == kInvalidHandle) {
    state_->lastError = wsa::kNotSocket;
    return -1;
  }
  // Linux would deliver a datagram for 0.0.0.0 to this very host (so would wine, which hands it
  // on); Windows refuses it. Refuse it here, so a request for a target without an address fails
  // the same way everywhere.
  if (address == 0) {
    state_->lastError = wsa::kAddressNotAvailable;
    return -1;
  }
  const sockaddr_in destination = SocketAddress(address, port);
  const auto sent =
      sendto(state_->handle, reinterpret_cast<const char*>(data), static_cast<int>(length), kNoWait,
             reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
  if (sent < 0) {
    state_->lastError = LastSocketError();
    return -1;
  }
  return static_cast<int>(sent);
}

int UdpSocket::ReceiveFrom(uint8_t* buffer, size_t capacity, uint32_t& address, uint16_t& port) {
  if (state_->handle == kInvalidHandle) {
    state_->lastError = wsa::kNotSocket;
    return -1;
  }
  sockaddr_in source{};
  AddressLength sourceLength = sizeof source;
  const auto received =
      recvfrom(state_->handle, reinterpret_cast<char*>(buffer), static_cast<int>(capacity),
               ReceiveFlags() | kNoWait, reinterpret_cast<sockaddr*>(&source), &sourceLength);
  if (received < 0) {
    state_->lastError = LastSocketError();
    return -1;
  }
  if (static_cast<size_t>(received) > capacity) {
    state_->lastError = wsa::kMessageSize;
    return -1;
  }
  address = ntohl(source.sin_addr.s_addr);
  port = ntohs(source.sin_port);
  return static_cast<int>(received);
}

#ifdef __linux__
namespace {

// Takes up to count datagrams in one call; flags say whether to wait for the first. The
// headers are prepared once for the slots a caller keeps reusing, and afterwards only those the
// kernel wrote to are touched again: a call for one reply stays within a few cache lines.
int ReceiveMany(Handle handle, ReceiveHeaders& batch, ReceiveSlot* slots, int count, int flags,
                int& lastError) {
  count = std::min(count, kMostPerCall);
  if (count <= 0) return 0;
  // The same slots as last time, their first and last buffers where they were: ready. (A caller
  // keeps its slots and their buffers, or passes others.)
  const auto same = [&](int i) {
    return batch.parts[i].iov_base == slots[i].buffer &&
           batch.parts[i].iov_len == slots[i].capacity;
  };
  const bool ready = batch.slots == slots && batch.prepared >= count && same(0) && same(count - 1);
  if (!ready) {
    for (int i = 0; i < count; ++i) {
      batch.parts[i] = {slots[i].buffer, slots[i].capacity};
      msghdr& header = batch.headers[i].msg_hdr;
      header = msghdr{};
      header.msg_iov = &batch.parts[i];
      header.msg_iovlen = 1;
      header.msg_name = &batch.sources[i];
      header.msg_namelen = sizeof batch.sources[i];
    }
    batch.prepared = count;
    batch.slots = slots;
  }
  const int got = recvmmsg(handle, batch.headers, static_cast<unsigned>(count), flags, nullptr);
  if (got < 0) {
    lastError = LastSocketError();
    return -1;
  }
  for (int i = 0; i < got; ++i) {
    ReceiveSlot& slot = slots[i];
    msghdr& header = batch.headers[i].msg_hdr;
    const bool cut = (header.msg_flags & MSG_TRUNC) != 0;
    slot.length = cut ? -1 : static_cast<int>(batch.headers[i].msg_len);
    slot.address = ntohl(batch.sources[i].sin_addr.s_addr);
    slot.port = ntohs(batch.sources[i].sin_port);
    header.msg_namelen = sizeof batch.sources[i];  // the kernel wrote the length it used
  }
  return got;
}

}  // namespace
#endif

// Linux takes or sends a whole batch in one system call; elsewhere the base does one at a time.
int UdpSocket::ReceiveBatch(ReceiveSlot* slots, int count) {
#ifdef __linux__
  if (state_->handle == kInvalidHandle) {
    state_->lastError = wsa::kNotSocket;
    return -1;
  }
  return ReceiveMany(state_->handle, state_->Headers(), slots, count, MSG_DONTWAIT,
                     state_->lastError);
#else
  return DatagramSocket::ReceiveBatch(slots, count);
#endif
}

int UdpSocket::ReceiveBatchWaiting(ReceiveSlot* slots, int count, int timeoutMs) {
#ifdef __linux__
  if (timeoutMs == 0) return ReceiveBatch(slots, count);
  if (state_->handle == kInvalidHandle) {
    state_->lastError = wsa::kNotSocket;
    return -1;
  }
  // The receive's own wait, bounded by SO_RCVTIMEO (set only when the bound changes); a signal
  // ends it early, as it ends a poll.
  if (timeoutMs != state_->receiveTimeoutMs) {
    timeval bound{};
    if (timeoutMs > 0) bound = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (setsockopt(state_->handle, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) != 0) {
      state_->lastError = LastSocketError();
      return -1;
    }
    state_->receiveTimeoutMs = timeoutMs;
  }
  int taken = -1;
  const bool early = state_->spin.BeforeSleeping([&] {
    taken = ReceiveMany(state_->handle, state_->Headers(), slots, count, MSG_DONTWAIT,
                        state_->lastError);
    return taken >= 0 || state_->lastError != wsa::kWouldBlock;
  });
  if (early) return taken;
  taken = ReceiveMany(state_->handle, state_->Headers(), slots, count, MSG_WAITFORONE,
                      state_->lastError);
  if (taken > 0) state_->spin.Woke();
  return taken;
#else
  return DatagramSocket::ReceiveBatchWaiting(slots, count, timeoutMs);
#endif
}

int UdpSocket::SendBatch(const SendSlot* slots, int count) {
#ifdef __linux__
  if (state_->handle == kInvalidHandle) {
    state_->lastError = wsa::kNotSocket;
    return -1;
  }
  // One datagram, the usual case of a single target: the plain call costs less.
  if (count == 1) {
    const int sent = SendTo(slots[0].data, slots[0].length, slots[0].address, slots[0].port);
    return sent == static_cast<int>(slots[0].length) ? 1 : -1;
  }
  count = std::min(count, kMostPerCall);
  // As SendTo: no datagram for 0.0.0.0; the ones before it still go.
  int sendable = 0;
  while (sendable < count && slots[sendable].address != 0) ++sendable;
  if (sendable == 0) {
    if (count == 0) return 0;
    state_->lastError = wsa::kAddressNotAvailable;
    return -1;
  }
  mmsghdr headers[kMostPerCall] = {};
  iovec parts[kMostPerCall];
  sockaddr_in destinations[kMostPerCall] = {};
  for (int i = 0; i < sendable; ++i) {
    const SendSlot& slot = slots[i];
    parts[i] = {const_cast<uint8_t*>(slot.data), slot.length};
    destinations[i] = SocketAddress(slot.address, slot.port);
    msghdr& header = headers[i].msg_hdr;
    header.msg_name = &destinations[i];
    header.msg_namelen = sizeof destinations[i];
    header.msg_iov = &parts[i];
    header.msg_iovlen = 1;
  }
  const int sent = sendmmsg(state_->handle, headers, static_cast<unsigned>(sendable), kNoWait);
  if (sent < 0) {
    state_->lastError = LastSocketError();
    return -1;
  }
  return sent;
#else
  return DatagramSocket::SendBatch(slots, count);
#endif
}

void UdpSocket::BindToInterface(const NetworkInterface& adapter) {
  const char* name = adapter.name.c_str();
#ifdef _WIN32
  if (adapter.addresses.empty()) {
    throw Exception(Format("Cannot use adapter \"%s\": it has no IPv4 address", name));
  }
  const sockaddr_in local = SocketAddress(adapter.addresses.front().address, 0);
  if (bind(state_->handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    throw Exception(
        Format("Cannot use adapter \"%s\": %s", name, WinsockErrorText(LastSocketError()).c_str()));
  }
#elif defined(SO_BINDTODEVICE)
  if (setsockopt(state_->handle, SOL_SOCKET, SO_BINDTODEVICE, name,
                 static_cast<socklen_t>(adapter.name.size() + 1)) != 0) {
    // Linux before 5.7 allows it only with CAP_NET_RAW; the generic text would mislead.
    if (errno == EPERM) {
      throw Exception(Format(
          "Cannot use adapter \"%s\": this system lets only privileged programs choose one", name));
    }
    throw Exception(
        Format("Cannot use adapter \"%s\": %s", name, WinsockErrorText(LastSocketError()).c_str()));
  }
#else
  throw Exception(Format("Cannot use adapter \"%s\": not supported on this system", name));
#endif
}

int UdpSocket::LastError() const { return state_->lastError; }

intptr_t UdpSocket::NativeHandle() const {
  return state_->handle == kInvalidHandle ? -1 : static_cast<intptr_t>(state_->handle);
}

bool UdpSocket::WaitReadable(int timeoutMs) {
  if (state_->handle == kInvalidHandle) return false;
  return WaitForInput(state_->handle, timeoutMs);
}

void UdpSocket::Close() {
  if (state_->handle == kInvalidHandle) return;
  CloseHandle(state_->handle);
  state_->handle = kInvalidHandle;
}

int UdpSocket::ReceiveBufferSize() const {
  if (state_->handle == kInvalidHandle) return 0;
  return GetIntOption(state_->handle, SO_RCVBUF);
}

uint16_t UdpSocket::LocalPort() const {
  sockaddr_in local{};
  AddressLength length = sizeof local;
  if (state_->handle == kInvalidHandle ||
      getsockname(state_->handle, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return 0;
  }
  return ntohs(local.sin_port);
}

}  // namespace qor
