// The listening socket on Windows Sockets: WSARecvMsg and WSASendMsg, one datagram a call.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which it needs.
#include <mswsock.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/ListeningUdpSocket.h"
#include "platform/SocketAddress.h"
#include "platform/WinsockErrorText.h"

namespace qor {

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
    s.Fail(Format("Cannot listen on %s:%u", IpAddressText(address).c_str(), port));
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
