// The listening socket on Linux: batches of datagrams with recvmmsg and sendmmsg.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/DatagramSocket.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/ListeningUdpSocket.h"
#include "platform/ReceiveSpin.h"
#include "platform/SocketAddress.h"
#include "platform/WinsockErrorText.h"

namespace qor {

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
  // A target answers; the program that asked moves first when the two share a core.
  ReceiveSpin spin{std::chrono::microseconds(500)};
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
    s.Fail(Format("Cannot listen on %s:%u", IpAddressText(address).c_str(), port));
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
    if (got > 0) s.spin.Woke();
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
