#include "platform/ListeningUdpSocket.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "platform/DatagramSocket.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/ReceiveSpin.h"
#include "platform/UdpSocket.h"
#include "platform/WinsockErrorText.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which it needs.
#include <mswsock.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace qor {
namespace {

std::string AddressText(uint32_t address) {
  return Format("%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                address & 0xFF);
}

sockaddr_in SocketAddress(uint32_t address, uint16_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_addr.s_addr = htonl(address);
  result.sin_port = htons(port);
  return result;
}

}  // namespace

#ifdef _WIN32

namespace {
constexpr size_t kControlSpace = WSA_CMSG_SPACE(sizeof(IN_PKTINFO));
}  // namespace

struct ListeningUdpSocket::State {
  size_t capacity = 0;
  bool started = false;
  SOCKET socket = INVALID_SOCKET;
  WSAEVENT readable = WSA_INVALID_EVENT;
  HANDLE interrupt = nullptr;
  LPFN_WSARECVMSG receiveMessage = nullptr;
  LPFN_WSASENDMSG sendMessage = nullptr;
  std::vector<uint8_t> buffers;
  std::array<Datagram, kBatch> received{};

  [[noreturn]] void Fail(const std::string& what) {
    const std::string reason = WinsockErrorText(WSAGetLastError());
    Close();
    throw Exception(Format("%s: %s", what.c_str(), reason.c_str()));
  }

  void Close() {
    if (socket != INVALID_SOCKET) closesocket(socket);
    socket = INVALID_SOCKET;
    if (readable != WSA_INVALID_EVENT) WSACloseEvent(readable);
    readable = WSA_INVALID_EVENT;
    if (interrupt != nullptr) CloseHandle(interrupt);
    interrupt = nullptr;
    if (started) WSACleanup();
    started = false;
  }

  void AskForBuffer(int option) const {
    const int wanted = kWantedBuffer;
    setsockopt(socket, SOL_SOCKET, option, reinterpret_cast<const char*>(&wanted), sizeof wanted);
  }

  template <typename Function>
  Function Extension(GUID id) const {
    Function function = nullptr;
    DWORD size = 0;
    if (WSAIoctl(socket, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &function,
                 sizeof function, &size, nullptr, nullptr) != 0) {
      return nullptr;
    }
    return function;
  }

  // Takes one waiting datagram into slot index; false when none waits.
  bool ReceiveOne(int index) {
    uint8_t* buffer = buffers.data() + static_cast<size_t>(index) * capacity;
    sockaddr_in source{};
    WSABUF part{static_cast<ULONG>(capacity), reinterpret_cast<char*>(buffer)};
    char control[kControlSpace] = {};
    WSAMSG message{};
    message.name = reinterpret_cast<sockaddr*>(&source);
    message.namelen = sizeof source;
    message.lpBuffers = &part;
    message.dwBufferCount = 1;
    message.Control.buf = control;
    message.Control.len = sizeof control;
    DWORD got = 0;
    Datagram& datagram = received[static_cast<size_t>(index)];
    if (receiveMessage(socket, &message, &got, nullptr, nullptr) == 0) {
      datagram.length = got;
    } else if (WSAGetLastError() == WSAEMSGSIZE) {
      datagram.length = capacity + 1;  // Winsock tells only that it did not fit
    } else {
      return false;
    }
    datagram.bytes = std::span<const uint8_t>(buffer, std::min(capacity, datagram.length));
    datagram.source = ntohl(source.sin_addr.s_addr);
    datagram.sourcePort = ntohs(source.sin_port);
    datagram.destination = 0;
    for (WSACMSGHDR* item = WSA_CMSG_FIRSTHDR(&message); item != nullptr;
         item = WSA_CMSG_NXTHDR(&message, item)) {
      if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO) {
        IN_PKTINFO info;
        std::memcpy(&info, WSA_CMSG_DATA(item), sizeof info);
        datagram.destination = ntohl(info.ipi_addr.s_addr);
      }
    }
    return true;
  }
};

void ListeningUdpSocket::Open(uint32_t address, uint16_t port) {
  State& s = *state_;
  s.Close();
  WSADATA data;
  const int startResult = WSAStartup(MAKEWORD(2, 2), &data);
  if (startResult != 0) {
    throw Exception(
        Format("Failed to initialize Windows Sockets (%08x)", static_cast<unsigned>(startResult)));
  }
  s.started = true;
  s.socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s.socket == INVALID_SOCKET) s.Fail("Failed to create socket");
  // As SOCK_CLOEXEC elsewhere: a program started from this one must not hold the port.
  SetHandleInformation(reinterpret_cast<HANDLE>(s.socket), HANDLE_FLAG_INHERIT, 0);
  const DWORD on = 1;
  // The destination address tells a target whether a request was meant for it.
  if (setsockopt(s.socket, IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char*>(&on), sizeof on) !=
      0) {
    s.Fail("Failed to enable IP_PKTINFO");
  }
  // A reply to a program that has gone would otherwise fail the next receive.
  BOOL report = FALSE;
  DWORD size = 0;
  WSAIoctl(s.socket, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &size, nullptr,
           nullptr);
  s.AskForBuffer(SO_RCVBUF);
  s.AskForBuffer(SO_SNDBUF);
  const sockaddr_in local = SocketAddress(address, port);
  if (bind(s.socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    s.Fail(Format("Cannot listen on %s:%u", AddressText(address).c_str(), port));
  }
  s.receiveMessage = s.Extension<LPFN_WSARECVMSG>(WSAID_WSARECVMSG);
  s.sendMessage = s.Extension<LPFN_WSASENDMSG>(WSAID_WSASENDMSG);
  if (s.receiveMessage == nullptr || s.sendMessage == nullptr) s.Fail("Failed to find WSARecvMsg");
  s.readable = WSACreateEvent();
  s.interrupt = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // Also makes the socket non-blocking.
  if (s.readable == WSA_INVALID_EVENT || s.interrupt == nullptr ||
      WSAEventSelect(s.socket, s.readable, FD_READ) != 0) {
    s.Fail("Failed to create events");
  }
}

int ListeningUdpSocket::Receive(bool wait) {
  State& s = *state_;
  if (s.socket == INVALID_SOCKET) return 0;
  for (;;) {
    int taken = 0;
    while (taken < kBatch && s.ReceiveOne(taken)) ++taken;
    // A readable event can outlive the datagram it was for: then wait again.
    if (taken > 0 || !wait || WaitReadable(-1) != Wait::kReadable) return taken;
  }
}

int ListeningUdpSocket::Send(std::span<const Outgoing> datagrams, int& error) {
  State& s = *state_;
  error = 0;
  if (s.socket == INVALID_SOCKET) {
    error = WSAENOTSOCK;
    return 0;
  }
  const size_t count = std::min(datagrams.size(), static_cast<size_t>(kBatch));
  for (size_t i = 0; i < count; ++i) {
    const Outgoing& datagram = datagrams[i];
    sockaddr_in to = SocketAddress(datagram.destination, datagram.port);
    WSABUF part{static_cast<ULONG>(datagram.bytes.size()),
                reinterpret_cast<char*>(const_cast<uint8_t*>(datagram.bytes.data()))};
    char control[kControlSpace] = {};
    WSAMSG message{};
    message.name = reinterpret_cast<sockaddr*>(&to);
    message.namelen = sizeof to;
    message.lpBuffers = &part;
    message.dwBufferCount = 1;
    if (datagram.source != 0) {
      message.Control.buf = control;
      message.Control.len = sizeof control;
      WSACMSGHDR* item = WSA_CMSG_FIRSTHDR(&message);
      item->cmsg_level = IPPROTO_IP;
      item->cmsg_type = IP_PKTINFO;
      item->cmsg_len = WSA_CMSG_LEN(sizeof(IN_PKTINFO));
      IN_PKTINFO info{};
      info.ipi_addr.s_addr = htonl(datagram.source);
      std::memcpy(WSA_CMSG_DATA(item), &info, sizeof info);
    }
    DWORD sent = 0;
    if (s.sendMessage(s.socket, &message, 0, &sent, nullptr, nullptr) != 0) {
      if (i == 0) error = WSAGetLastError();
      return static_cast<int>(i);
    }
  }
  return static_cast<int>(count);
}

ListeningUdpSocket::Wait ListeningUdpSocket::WaitReadable(int timeoutMs) {
  State& s = *state_;
  if (s.socket == INVALID_SOCKET) return Wait::kInterrupted;
  // The interruption first, so that a busy socket cannot keep it waiting.
  const HANDLE events[2] = {s.interrupt, s.readable};
  const DWORD result = WaitForMultipleObjects(
      2, events, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
  if (result == WAIT_OBJECT_0) return Wait::kInterrupted;
  if (result == WAIT_OBJECT_0 + 1) {
    // Set again by the next receive while datagrams remain.
    WSAResetEvent(s.readable);
    return Wait::kReadable;
  }
  return Wait::kTimedOut;
}

bool ListeningUdpSocket::WaitWritable(int timeoutMs) {
  State& s = *state_;
  if (s.socket == INVALID_SOCKET) return false;
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(s.socket, &writable);
  timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return select(0, nullptr, &writable, nullptr, &timeout) > 0;
}

void ListeningUdpSocket::Interrupt() {
  if (state_->interrupt != nullptr) SetEvent(state_->interrupt);
}

#else

namespace {
constexpr size_t kControlSpace = CMSG_SPACE(sizeof(in_pktinfo));

// The address a datagram was sent to, from its IP_PKTINFO; 0 when it has none.
uint32_t Destination(msghdr& message) {
  for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr;
       item = CMSG_NXTHDR(&message, item)) {
    if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(item), sizeof info);
      return ntohl(info.ipi_addr.s_addr);
    }
  }
  return 0;
}
}  // namespace

struct ListeningUdpSocket::State {
  size_t capacity = 0;
  int socket = -1;
  int wakeRead = -1;
  int wakeWrite = -1;
  // One batch of datagrams taken in: their bytes, sources, destinations (IP_PKTINFO) and
  // headers, set up once; a receive touches again only the headers the last one used.
  std::vector<uint8_t> buffers;
  std::array<mmsghdr, kBatch> headers{};
  std::array<iovec, kBatch> parts{};
  std::array<sockaddr_in, kBatch> addresses{};
  std::vector<char> controls = std::vector<char>(kBatch * kControlSpace);
  bool headersReady = false;
  int used = 0;
  ReceiveSpin spin;
  std::array<Datagram, kBatch> received{};
  // One batch of datagrams to send.
  std::array<mmsghdr, kBatch> outHeaders{};
  std::array<iovec, kBatch> outParts{};
  std::array<sockaddr_in, kBatch> outAddresses{};
  std::vector<char> outControls = std::vector<char>(kBatch * kControlSpace);

  [[noreturn]] void Fail(const std::string& what) {
    const std::string reason = WinsockErrorText(WsaCodeFromErrno(errno));
    Close();
    throw Exception(Format("%s: %s", what.c_str(), reason.c_str()));
  }

  void Close() {
    for (int* fd : {&socket, &wakeRead, &wakeWrite}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  }

  // The first of the options the kernel accepts: the forced size needs privileges.
  void AskForBuffer(std::initializer_list<int> options) const {
    for (const int option : options) {
      if (setsockopt(socket, SOL_SOCKET, option, &kWantedBuffer, sizeof kWantedBuffer) == 0) {
        return;
      }
    }
  }

  // Readies a receive header again after the kernel wrote the lengths it used into it.
  static void Rearm(msghdr& message) {
    message.msg_namelen = sizeof(sockaddr_in);
    message.msg_controllen = kControlSpace;
    message.msg_flags = 0;
  }
};

void ListeningUdpSocket::Open(uint32_t address, uint16_t port) {
  State& s = *state_;
  s.Close();
  // Blocking, so that an idle server sleeps in the receive itself; every other call says
  // MSG_DONTWAIT.
  s.socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (s.socket < 0) s.Fail("Failed to create socket");
  int on = 1;
  // The destination address tells a target whether a request was meant for it.
  if (setsockopt(s.socket, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
    s.Fail("Failed to enable IP_PKTINFO");
  }
  s.AskForBuffer({SO_RCVBUFFORCE, SO_RCVBUF});
  s.AskForBuffer({SO_SNDBUFFORCE, SO_SNDBUF});
  const sockaddr_in local = SocketAddress(address, port);
  if (bind(s.socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    s.Fail(Format("Cannot listen on %s:%u", AddressText(address).c_str(), port));
  }
  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) s.Fail("Failed to create pipe");
  s.wakeRead = wake[0];
  s.wakeWrite = wake[1];
}

int ListeningUdpSocket::Receive(bool wait) {
  State& s = *state_;
  if (s.socket < 0) return 0;
  if (!s.headersReady) {
    for (size_t i = 0; i < s.headers.size(); ++i) {
      s.parts[i] = {s.buffers.data() + i * s.capacity, s.capacity};
      msghdr& message = s.headers[i].msg_hdr;
      message.msg_name = &s.addresses[i];
      message.msg_iov = &s.parts[i];
      message.msg_iovlen = 1;
      message.msg_control = s.controls.data() + i * kControlSpace;
      State::Rearm(message);
    }
    s.headersReady = true;
  }
  for (int i = 0; i < s.used; ++i) State::Rearm(s.headers[static_cast<size_t>(i)].msg_hdr);
  // MSG_TRUNC: the full length, so that an oversized datagram is known for what it is.
  int got = -1;
  // A call that does not sleep: true when it took something or failed for another reason.
  const auto tryOnce = [&] {
    got = recvmmsg(s.socket, s.headers.data(), kBatch, MSG_TRUNC | MSG_DONTWAIT, nullptr);
    return got > 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
  };
  if (!wait) {
    tryOnce();
  } else if (!s.spin.BeforeSleeping(tryOnce)) {
    got = recvmmsg(s.socket, s.headers.data(), kBatch, MSG_TRUNC | MSG_WAITFORONE, nullptr);
  }
  s.used = std::max(got, 0);
  for (int i = 0; i < s.used; ++i) {
    const auto index = static_cast<size_t>(i);
    Datagram& datagram = s.received[index];
    datagram.length = s.headers[index].msg_len;
    datagram.bytes = std::span<const uint8_t>(s.buffers.data() + index * s.capacity,
                                              std::min(s.capacity, datagram.length));
    datagram.source = ntohl(s.addresses[index].sin_addr.s_addr);
    datagram.sourcePort = ntohs(s.addresses[index].sin_port);
    datagram.destination = Destination(s.headers[index].msg_hdr);
  }
  return s.used;
}

int ListeningUdpSocket::Send(std::span<const Outgoing> datagrams, int& error) {
  State& s = *state_;
  error = 0;
  if (s.socket < 0) {
    error = wsa::kNotSocket;
    return 0;
  }
  const size_t count = std::min(datagrams.size(), static_cast<size_t>(kBatch));
  for (size_t i = 0; i < count; ++i) {
    const Outgoing& datagram = datagrams[i];
    s.outAddresses[i] = SocketAddress(datagram.destination, datagram.port);
    s.outParts[i] = {const_cast<uint8_t*>(datagram.bytes.data()), datagram.bytes.size()};
    msghdr& message = s.outHeaders[i].msg_hdr;
    message = msghdr{};
    message.msg_name = &s.outAddresses[i];
    message.msg_namelen = sizeof s.outAddresses[i];
    message.msg_iov = &s.outParts[i];
    message.msg_iovlen = 1;
    if (datagram.source != 0) {
      char* control = s.outControls.data() + i * kControlSpace;
      std::memset(control, 0, kControlSpace);
      message.msg_control = control;
      message.msg_controllen = kControlSpace;
      cmsghdr* item = CMSG_FIRSTHDR(&message);
      item->cmsg_level = IPPROTO_IP;
      item->cmsg_type = IP_PKTINFO;
      item->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
      in_pktinfo info{};
      info.ipi_spec_dst.s_addr = htonl(datagram.source);
      std::memcpy(CMSG_DATA(item), &info, sizeof info);
    }
  }
  const int sent =
      sendmmsg(s.socket, s.outHeaders.data(), static_cast<unsigned>(count), MSG_DONTWAIT);
  if (sent > 0) return sent;
  error = WsaCodeFromErrno(errno);
  return 0;
}

ListeningUdpSocket::Wait ListeningUdpSocket::WaitReadable(int timeoutMs) {
  State& s = *state_;
  if (s.socket < 0) return Wait::kInterrupted;
  pollfd watched[2] = {{s.wakeRead, POLLIN, 0}, {s.socket, POLLIN, 0}};
  if (poll(watched, 2, timeoutMs) <= 0) return Wait::kTimedOut;  // EINTR too: the caller loops
  if ((watched[0].revents & POLLIN) != 0) return Wait::kInterrupted;
  return (watched[1].revents & POLLIN) != 0 ? Wait::kReadable : Wait::kTimedOut;
}

bool ListeningUdpSocket::WaitWritable(int timeoutMs) {
  if (state_->socket < 0) return false;
  pollfd writable{state_->socket, POLLOUT, 0};
  return poll(&writable, 1, timeoutMs) > 0 && (writable.revents & POLLOUT) != 0;
}

void ListeningUdpSocket::Interrupt() {
  State& s = *state_;
  const char stop = 1;
  if (s.wakeWrite >= 0) (void)!write(s.wakeWrite, &stop, 1);
  // Wakes a receive that sleeps (Linux does so for an unbound peer too, reporting ENOTCONN).
  if (s.socket >= 0) (void)shutdown(s.socket, SHUT_RD);
}

#endif

ListeningUdpSocket::ListeningUdpSocket(size_t capacity) : state_(std::make_unique<State>()) {
  state_->capacity = capacity;
  state_->buffers.resize(capacity * kBatch);
}

ListeningUdpSocket::~ListeningUdpSocket() { state_->Close(); }

void ListeningUdpSocket::Close() { state_->Close(); }

const ListeningUdpSocket::Datagram& ListeningUdpSocket::Received(int index) const {
  return state_->received.at(static_cast<size_t>(index));
}

}  // namespace qor
