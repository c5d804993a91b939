#include "platform/ListeningUdpSocket.h"

#include <cstring>
#include <string>

#include "platform/Exception.h"
#include "platform/Format.h"
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

struct ListeningUdpSocket::State {
  bool started = false;
  SOCKET socket = INVALID_SOCKET;
  WSAEVENT readable = WSA_INVALID_EVENT;
  HANDLE wake = nullptr;
  LPFN_WSARECVMSG receiveMessage = nullptr;
  LPFN_WSASENDMSG sendMessage = nullptr;

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
    if (wake != nullptr) CloseHandle(wake);
    wake = nullptr;
    if (started) WSACleanup();
    started = false;
  }

  void AskForBuffer(int option) {
    const int wanted = kWantedBuffer;
    setsockopt(socket, SOL_SOCKET, option, reinterpret_cast<const char*>(&wanted), sizeof wanted);
  }

  template <typename Function>
  Function Extension(GUID id) {
    Function function = nullptr;
    DWORD size = 0;
    if (WSAIoctl(socket, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &function,
                 sizeof function, &size, nullptr, nullptr) != 0) {
      return nullptr;
    }
    return function;
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
  s.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  // Also makes the socket non-blocking.
  if (s.readable == WSA_INVALID_EVENT || s.wake == nullptr ||
      WSAEventSelect(s.socket, s.readable, FD_READ) != 0) {
    s.Fail("Failed to create events");
  }
}

std::optional<ListeningUdpSocket::Datagram> ListeningUdpSocket::Receive(uint8_t* buffer,
                                                                        size_t capacity) {
  State& s = *state_;
  if (s.socket == INVALID_SOCKET) return std::nullopt;
  sockaddr_in source{};
  WSABUF part{static_cast<ULONG>(capacity), reinterpret_cast<char*>(buffer)};
  char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
  WSAMSG message{};
  message.name = reinterpret_cast<sockaddr*>(&source);
  message.namelen = sizeof source;
  message.lpBuffers = &part;
  message.dwBufferCount = 1;
  message.Control.buf = control;
  message.Control.len = sizeof control;
  DWORD received = 0;
  Datagram datagram;
  if (s.receiveMessage(s.socket, &message, &received, nullptr, nullptr) == 0) {
    datagram.length = received;
  } else if (WSAGetLastError() == WSAEMSGSIZE) {
    datagram.length = capacity + 1;  // Winsock tells only that it did not fit
  } else {
    return std::nullopt;
  }
  datagram.source = ntohl(source.sin_addr.s_addr);
  datagram.sourcePort = ntohs(source.sin_port);
  for (WSACMSGHDR* item = WSA_CMSG_FIRSTHDR(&message); item != nullptr;
       item = WSA_CMSG_NXTHDR(&message, item)) {
    if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO) {
      IN_PKTINFO info;
      std::memcpy(&info, WSA_CMSG_DATA(item), sizeof info);
      datagram.destination = ntohl(info.ipi_addr.s_addr);
    }
  }
  return datagram;
}

int ListeningUdpSocket::Send(const uint8_t* data, size_t length, uint32_t source,
                             uint32_t destination, uint16_t port) {
  State& s = *state_;
  if (s.socket == INVALID_SOCKET) return WSAENOTSOCK;
  sockaddr_in to = SocketAddress(destination, port);
  WSABUF part{static_cast<ULONG>(length), reinterpret_cast<char*>(const_cast<uint8_t*>(data))};
  char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
  WSAMSG message{};
  message.name = reinterpret_cast<sockaddr*>(&to);
  message.namelen = sizeof to;
  message.lpBuffers = &part;
  message.dwBufferCount = 1;
  if (source != 0) {
    message.Control.buf = control;
    message.Control.len = sizeof control;
    WSACMSGHDR* item = WSA_CMSG_FIRSTHDR(&message);
    item->cmsg_level = IPPROTO_IP;
    item->cmsg_type = IP_PKTINFO;
    item->cmsg_len = WSA_CMSG_LEN(sizeof(IN_PKTINFO));
    IN_PKTINFO info{};
    info.ipi_addr.s_addr = htonl(source);
    std::memcpy(WSA_CMSG_DATA(item), &info, sizeof info);
  }
  DWORD sent = 0;
  if (s.sendMessage(s.socket, &message, 0, &sent, nullptr, nullptr) != 0) {
    return WSAGetLastError();
  }
  return 0;
}

ListeningUdpSocket::Wait ListeningUdpSocket::WaitReadable(int timeoutMs) {
  State& s = *state_;
  if (s.socket == INVALID_SOCKET) return Wait::kWoken;
  // The wake first, so that a busy socket cannot keep it waiting.
  const HANDLE events[2] = {s.wake, s.readable};
  const DWORD result = WaitForMultipleObjects(
      2, events, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
  if (result == WAIT_OBJECT_0) return Wait::kWoken;
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

void ListeningUdpSocket::Wake() {
  if (state_->wake != nullptr) SetEvent(state_->wake);
}

#else

struct ListeningUdpSocket::State {
  int socket = -1;
  int wakeRead = -1;
  int wakeWrite = -1;

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
};

void ListeningUdpSocket::Open(uint32_t address, uint16_t port) {
  State& s = *state_;
  s.Close();
  s.socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
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

std::optional<ListeningUdpSocket::Datagram> ListeningUdpSocket::Receive(uint8_t* buffer,
                                                                        size_t capacity) {
  State& s = *state_;
  if (s.socket < 0) return std::nullopt;
  sockaddr_in source{};
  iovec part{buffer, capacity};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
  msghdr message{};
  message.msg_name = &source;
  message.msg_namelen = sizeof source;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  // MSG_TRUNC: the full length, so that an oversized datagram is known for what it is.
  const ssize_t received = recvmsg(s.socket, &message, MSG_TRUNC);
  if (received < 0) return std::nullopt;
  Datagram datagram;
  datagram.length = static_cast<size_t>(received);
  datagram.source = ntohl(source.sin_addr.s_addr);
  datagram.sourcePort = ntohs(source.sin_port);
  for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr;
       item = CMSG_NXTHDR(&message, item)) {
    if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(item), sizeof info);
      datagram.destination = ntohl(info.ipi_addr.s_addr);
    }
  }
  return datagram;
}

int ListeningUdpSocket::Send(const uint8_t* data, size_t length, uint32_t source,
                             uint32_t destination, uint16_t port) {
  State& s = *state_;
  if (s.socket < 0) return wsa::kNotSocket;
  sockaddr_in to = SocketAddress(destination, port);
  iovec part{const_cast<uint8_t*>(data), length};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr message{};
  message.msg_name = &to;
  message.msg_namelen = sizeof to;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  if (source != 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* item = CMSG_FIRSTHDR(&message);
    item->cmsg_level = IPPROTO_IP;
    item->cmsg_type = IP_PKTINFO;
    item->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst.s_addr = htonl(source);
    std::memcpy(CMSG_DATA(item), &info, sizeof info);
  }
  if (sendmsg(s.socket, &message, 0) < 0) return WsaCodeFromErrno(errno);
  return 0;
}

ListeningUdpSocket::Wait ListeningUdpSocket::WaitReadable(int timeoutMs) {
  State& s = *state_;
  if (s.socket < 0) return Wait::kWoken;
  pollfd watched[2] = {{s.wakeRead, POLLIN, 0}, {s.socket, POLLIN, 0}};
  if (poll(watched, 2, timeoutMs) <= 0) return Wait::kTimedOut;  // EINTR too: the caller loops
  if ((watched[0].revents & POLLIN) != 0) {
    char drained[16];
    while (read(s.wakeRead, drained, sizeof drained) > 0) {
    }
    return Wait::kWoken;
  }
  return (watched[1].revents & POLLIN) != 0 ? Wait::kReadable : Wait::kTimedOut;
}

bool ListeningUdpSocket::WaitWritable(int timeoutMs) {
  if (state_->socket < 0) return false;
  pollfd writable{state_->socket, POLLOUT, 0};
  return poll(&writable, 1, timeoutMs) > 0 && (writable.revents & POLLOUT) != 0;
}

void ListeningUdpSocket::Wake() {
  const char wake = 1;
  if (state_->wakeWrite >= 0) (void)!write(state_->wakeWrite, &wake, 1);
}

#endif

ListeningUdpSocket::ListeningUdpSocket() : state_(std::make_unique<State>()) {}

ListeningUdpSocket::~ListeningUdpSocket() { state_->Close(); }

void ListeningUdpSocket::Close() { state_->Close(); }

}  // namespace qor
