#include "tools/qor-sim/SimTransport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <span>
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
// Datagrams taken in or sent with one system call.
constexpr int kBatch = 64;
// Batches taken in per wake-up, so that delayed replies falling due meanwhile leave on time.
constexpr int kBatchesPerWake = 4;
constexpr size_t kControlSpace = CMSG_SPACE(sizeof(in_pktinfo));

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
  std::atomic<bool> stopping{false};
  uint32_t started = 0;
  // One batch of datagrams taken in: their bytes, sources, destinations (IP_PKTINFO) and
  // headers, set up once; a receive touches again only the headers it used.
  std::vector<uint8_t> buffers = std::vector<uint8_t>(kBatch * kReceiveCapacity);
  std::array<mmsghdr, kBatch> headers{};
  std::array<iovec, kBatch> parts{};
  std::array<sockaddr_in, kBatch> addresses{};
  std::vector<char> controls = std::vector<char>(kBatch * kControlSpace);
  bool headersReady = false;
  // One batch of replies to send.
  std::array<mmsghdr, kBatch> outHeaders{};
  std::array<iovec, kBatch> outParts{};
  std::array<sockaddr_in, kBatch> outAddresses{};
  std::vector<char> outControls = std::vector<char>(kBatch * kControlSpace);
  std::vector<SimReply> replies;  // reused for every datagram

  explicit State(uint32_t delayMs) : queue(delayMs) {}
  [[noreturn]] void Fail(const std::string& what);
  void Close();
  void Run();
  void ReceiveWaiting();
  void Handle(int received);
  int ReceiveBatch(bool wait);
  // Readies a receive header again after the kernel wrote the lengths it used into it.
  static void Rearm(msghdr& message) {
    message.msg_namelen = sizeof(sockaddr_in);
    message.msg_controllen = kControlSpace;
    message.msg_flags = 0;
  }
  SimDatagram Datagram(int index);
  void SendDue();
  size_t Transmit(std::span<SimReply> due);
  void Record(SimReply& reply, const char* event, const std::string& reason);
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
  // Blocking, so that an idle simulator sleeps in the receive itself; every other call says
  // MSG_DONTWAIT.
  s.socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
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
    s.stopping = true;
    const char stop = 1;
    (void)!write(s.wakeWrite, &stop, 1);
    // Wakes a receive that sleeps (Linux does so for an unbound peer too, reporting ENOTCONN).
    (void)shutdown(s.socket, SHUT_RD);
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
  while (!stopping) {
    const int waitMs = queue.WaitMs(clock->Now());
    if (waitMs < 0) {
      // Nothing held back: sleep in the receive, so a request costs one call to take in.
      const int received = ReceiveBatch(/*wait=*/true);
      if (stopping) return;
      Handle(received);
      if (received == kBatch) ReceiveWaiting();
    } else {
      pollfd watched[2] = {{socket, POLLIN, 0}, {wakeRead, POLLIN, 0}};
      if (poll(watched, 2, waitMs) < 0 && errno != EINTR) return;
      if ((watched[1].revents & POLLIN) != 0) return;
      if ((watched[0].revents & POLLIN) != 0) ReceiveWaiting();
    }
    SendDue();
    hooks.idle();
  }
}

void SimTransport::State::ReceiveWaiting() {
  for (int batch = 0; batch < kBatchesPerWake; ++batch) {
    const int received = ReceiveBatch(/*wait=*/false);
    Handle(received);
    if (received < kBatch) return;
  }
}

// Has the first received datagrams of the batch answered, and sends what is due.
void SimTransport::State::Handle(int received) {
  const uint32_t now = clock->Now();
  for (int i = 0; i < received; ++i) {
    SimDatagram datagram = Datagram(i);
    Rearm(headers[static_cast<size_t>(i)].msg_hdr);
    datagram.timeMs = now - started;
    replies.clear();
    hooks.handle(datagram, replies);
    for (SimReply& reply : replies) queue.Push(std::move(reply), now);
  }
  SendDue();
}

// Takes what waits, up to one batch, in one call; 0 when nothing waits. With wait, sleeps until
// the first datagram comes (or the transport stops).
int SimTransport::State::ReceiveBatch(bool wait) {
  if (!headersReady) {
    for (size_t i = 0; i < headers.size(); ++i) {
      parts[i] = {buffers.data() + i * kReceiveCapacity, kReceiveCapacity};
      msghdr& message = headers[i].msg_hdr;
      message.msg_name = &addresses[i];
      message.msg_iov = &parts[i];
      message.msg_iovlen = 1;
      message.msg_control = controls.data() + i * kControlSpace;
      Rearm(message);
    }
    headersReady = true;
  }
  // MSG_TRUNC: the full length, so that an oversized datagram is known for what it is.
  const int flags = MSG_TRUNC | (wait ? MSG_WAITFORONE : MSG_DONTWAIT);
  const int received = recvmmsg(socket, headers.data(), kBatch, flags, nullptr);
  return received < 0 ? 0 : received;
}

SimDatagram SimTransport::State::Datagram(int index) {
  const auto i = static_cast<size_t>(index);
  SimDatagram datagram;
  datagram.length = headers[i].msg_len;
  datagram.bytes = std::span<const uint8_t>(buffers.data() + i * kReceiveCapacity,
                                            std::min(kReceiveCapacity, datagram.length));
  datagram.source = ntohl(addresses[i].sin_addr.s_addr);
  datagram.sourcePort = ntohs(addresses[i].sin_port);
  datagram.destination = Destination(headers[i].msg_hdr);
  return datagram;
}

void SimTransport::State::SendDue() {
  std::vector<SimReply> due = queue.TakeDue(clock->Now());
  for (size_t first = 0; first < due.size();) {
    first += Transmit(std::span<SimReply>(due).subspan(first));
  }
}

// Sends up to one batch of replies from the front of due; returns how many are done with, sent
// or lost.
size_t SimTransport::State::Transmit(std::span<SimReply> due) {
  const size_t count = std::min<size_t>(due.size(), kBatch);
  for (size_t i = 0; i < count; ++i) {
    SimReply& reply = due[i];
    sockaddr_in& destination = outAddresses[i];
    destination = sockaddr_in{};
    destination.sin_family = AF_INET;
    destination.sin_addr.s_addr = htonl(reply.destination);
    destination.sin_port = htons(reply.destinationPort);
    outParts[i] = {reply.bytes.data(), reply.bytes.size()};
    msghdr& message = outHeaders[i].msg_hdr;
    message = msghdr{};
    message.msg_name = &destination;
    message.msg_namelen = sizeof destination;
    message.msg_iov = &outParts[i];
    message.msg_iovlen = 1;
    // Answer from the target's own address when it is a local one, as a device would. A 127.x
    // source may not leave loopback: one who asked across an adapter is answered from that
    // adapter's address, and the reply still names the target's own address inside.
    if (IsLoopback(reply.source) && IsLoopback(reply.destination)) {
      char* control = outControls.data() + i * kControlSpace;
      std::memset(control, 0, kControlSpace);
      message.msg_control = control;
      message.msg_controllen = kControlSpace;
      cmsghdr* item = CMSG_FIRSTHDR(&message);
      item->cmsg_level = IPPROTO_IP;
      item->cmsg_type = IP_PKTINFO;
      item->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
      in_pktinfo info{};
      info.ipi_spec_dst.s_addr = htonl(reply.source);
      std::memcpy(CMSG_DATA(item), &info, sizeof info);
    }
  }

  for (int attempt = 0;; ++attempt) {
    const int sent =
        sendmmsg(socket, outHeaders.data(), static_cast<unsigned>(count), MSG_DONTWAIT);
    if (sent > 0) {
      for (int i = 0; i < sent; ++i) Record(due[static_cast<size_t>(i)], "sent", "");
      return static_cast<size_t>(sent);
    }
    // A full send queue empties quickly on loopback: wait for room a few times.
    if ((errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) && attempt < 20) {
      pollfd writable{socket, POLLOUT, 0};
      poll(&writable, 1, 10);
      continue;
    }
    Record(due.front(), "lost", WinsockErrorText(WsaCodeFromErrno(errno)));
    return 1;
  }
}

void SimTransport::State::Record(SimReply& reply, const char* event, const std::string& reason) {
  TraceRecord& record = reply.record;
  record.timeMs = clock->Now() - started;
  record.event = event;
  record.reason = reason;
  hooks.record(record);
}

}  // namespace qor::sim
