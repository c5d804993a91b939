#include "tools/qor-sim/SimTransport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include "net/Target.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/UdpSocket.h"
#include "platform/WinsockErrorText.h"
#include "tools/qor-sim/ReplyQueue.h"

namespace qor::sim {
namespace {

constexpr int kWantedSocketBuffer = 8 * 1024 * 1024;
// Requests are at most 1044 bytes; anything longer than this is refused as a whole.
constexpr size_t kReceiveCapacity = 2048;
// Datagrams taken in per wake-up, so that delayed replies falling due meanwhile leave on time.
constexpr int kReceiveBatch = 256;

bool IsLoopback(uint32_t address) { return (address >> 24) == 127; }

// The first of the options the kernel accepts: the forced size needs privileges.
void AskForBuffer(int socket, std::initializer_list<int> options) {
  for (const int option : options) {
    if (setsockopt(socket, SOL_SOCKET, option, &kWantedSocketBuffer, sizeof kWantedSocketBuffer) ==
        0) {
      return;
    }
  }
}

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

struct SimTransport::State {
  uint32_t bindAddress = 0;
  uint16_t port = 0;
  TickSource* clock = nullptr;
  Hooks hooks;
  ReplyQueue queue;
  int socket = -1;
  int wakeRead = -1;
  int wakeWrite = -1;
  std::thread thread;
  uint32_t started = 0;
  std::array<uint8_t, kReceiveCapacity> buffer{};
  std::vector<SimReply> replies;  // reused for every datagram

  explicit State(uint32_t delayMs) : queue(delayMs) {}
  [[noreturn]] void Fail(const std::string& what);
  void Close();
  void Run();
  void ReceiveWaiting();
  bool ReceiveOne(SimDatagram& datagram);
  void SendDue();
  void Transmit(SimReply& reply);
};

SimTransport::SimTransport(uint32_t bindAddress, uint16_t port, uint32_t replyDelayMs,
                           TickSource& clock, Hooks hooks)
    : state_(std::make_unique<State>(replyDelayMs)) {
  state_->bindAddress = bindAddress;
  state_->port = port;
  state_->clock = &clock;
  state_->hooks = std::move(hooks);
}

SimTransport::~SimTransport() { Stop(); }

void SimTransport::State::Fail(const std::string& what) {
  const std::string reason = WinsockErrorText(WsaCodeFromErrno(errno));
  Close();
  throw Exception(Format("%s: %s", what.c_str(), reason.c_str()));
}

void SimTransport::Open() {
  State& s = *state_;
  s.socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
  if (s.socket < 0) s.Fail("Failed to create socket");
  int on = 1;
  // The destination address tells a target whether a request was meant for it.
  if (setsockopt(s.socket, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
    s.Fail("Failed to enable IP_PKTINFO");
  }
  AskForBuffer(s.socket, {SO_RCVBUFFORCE, SO_RCVBUF});
  AskForBuffer(s.socket, {SO_SNDBUFFORCE, SO_SNDBUF});
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(s.bindAddress);
  local.sin_port = htons(s.port);
  if (bind(s.socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    s.Fail(Format("Cannot listen on %s:%u", IpAddressText(s.bindAddress).c_str(), s.port));
  }
  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) s.Fail("Failed to create pipe");
  s.wakeRead = wake[0];
  s.wakeWrite = wake[1];
}

void SimTransport::Start() {
  State& s = *state_;
  if (s.thread.joinable()) return;
  s.started = s.clock->Now();
  s.thread = std::thread([&s] { s.Run(); });
}

void SimTransport::Stop() {
  State& s = *state_;
  if (s.thread.joinable()) {
    const char stop = 1;
    (void)!write(s.wakeWrite, &stop, 1);
    s.thread.join();
  }
  s.Close();
}

void SimTransport::State::Close() {
  for (int* fd : {&socket, &wakeRead, &wakeWrite}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void SimTransport::State::Run() {
  for (;;) {
    pollfd watched[2] = {{socket, POLLIN, 0}, {wakeRead, POLLIN, 0}};
    if (poll(watched, 2, queue.WaitMs(clock->Now())) < 0 && errno != EINTR) return;
    if ((watched[1].revents & POLLIN) != 0) return;
    if ((watched[0].revents & POLLIN) != 0) ReceiveWaiting();
    SendDue();
    hooks.idle();
  }
}

void SimTransport::State::ReceiveWaiting() {
  for (int count = 0; count < kReceiveBatch; ++count) {
    SimDatagram datagram;
    if (!ReceiveOne(datagram)) return;
    const uint32_t now = clock->Now();
    datagram.timeMs = now - started;
    replies.clear();
    hooks.handle(datagram, replies);
    for (SimReply& reply : replies) queue.Push(std::move(reply), now);
    SendDue();
  }
}

// Takes the next datagram into buffer; false when none is waiting.
bool SimTransport::State::ReceiveOne(SimDatagram& datagram) {
  sockaddr_in source{};
  iovec part{buffer.data(), buffer.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
  msghdr message{};
  message.msg_name = &source;
  message.msg_namelen = sizeof source;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  // MSG_TRUNC: the full length, so that an oversized datagram is known for what it is.
  const ssize_t received = recvmsg(socket, &message, MSG_TRUNC);
  if (received < 0) return false;
  datagram.length = static_cast<size_t>(received);
  datagram.bytes =
      std::span<const uint8_t>(buffer.data(), std::min(buffer.size(), datagram.length));
  datagram.source = ntohl(source.sin_addr.s_addr);
  datagram.sourcePort = ntohs(source.sin_port);
  datagram.destination = Destination(message);
  return true;
}

void SimTransport::State::SendDue() {
  for (SimReply& reply : queue.TakeDue(clock->Now())) Transmit(reply);
}

void SimTransport::State::Transmit(SimReply& reply) {
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr.s_addr = htonl(reply.destination);
  destination.sin_port = htons(reply.destinationPort);
  iovec part{reply.bytes.data(), reply.bytes.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr message{};
  message.msg_name = &destination;
  message.msg_namelen = sizeof destination;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  // Answer from the target's own address when it is a local one, as a device would. A 127.x
  // source may not leave loopback: one who asked across an adapter is answered from that
  // adapter's address, and the reply still names the target's own address inside.
  if (IsLoopback(reply.source) && IsLoopback(reply.destination)) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* item = CMSG_FIRSTHDR(&message);
    item->cmsg_level = IPPROTO_IP;
    item->cmsg_type = IP_PKTINFO;
    item->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst.s_addr = htonl(reply.source);
    std::memcpy(CMSG_DATA(item), &info, sizeof info);
  }

  TraceRecord& record = reply.record;
  record.timeMs = clock->Now() - started;
  for (int attempt = 0;; ++attempt) {
    if (sendmsg(socket, &message, 0) >= 0) {
      record.event = "sent";
      break;
    }
    // A full send queue empties quickly on loopback: wait for room a few times.
    if ((errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) && attempt < 20) {
      pollfd writable{socket, POLLOUT, 0};
      poll(&writable, 1, 10);
      continue;
    }
    record.event = "lost";
    record.reason = WinsockErrorText(WsaCodeFromErrno(errno));
    break;
  }
  hooks.record(record);
}

}  // namespace qor::sim
