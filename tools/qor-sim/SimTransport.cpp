#include "tools/qor-sim/SimTransport.h"

#include <algorithm>
#include <atomic>
#include <span>
#include <string>
#include <thread>
#include <utility>

#include "platform/DatagramSocket.h"
#include "platform/ListeningUdpSocket.h"
#include "platform/WinsockErrorText.h"
#include "tools/qor-sim/ReplyQueue.h"

namespace qor::sim {
namespace {

// Requests are at most 1044 bytes; anything longer than this is refused as a whole.
constexpr size_t kReceiveCapacity = 2048;
// Batches taken in per wake-up, so that delayed replies falling due meanwhile leave on time.
constexpr int kBatchesPerWake = 4;

bool IsLoopback(uint32_t address) { return (address >> 24) == 127; }

}  // namespace

struct SimTransport::State {
  uint32_t bindAddress = 0;
  uint16_t port = 0;
  TickSource* clock = nullptr;
  Hooks hooks;
  ReplyQueue queue;
  ListeningUdpSocket socket{kReceiveCapacity};
  std::thread thread;
  std::atomic<bool> stopping{false};
  uint32_t started = 0;
  std::vector<SimReply> replies;  // reused for every datagram
  std::vector<SimReply> ready;    // replies nothing holds back, sent with their batch
  std::vector<ListeningUdpSocket::Outgoing> outgoing;

  explicit State(uint32_t delayMs) : queue(delayMs) {}
  void Run();
  void ReceiveWaiting();
  void Handle(int received);
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

void SimTransport::Open() { state_->socket.Open(state_->bindAddress, state_->port); }

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
    s.socket.Interrupt();
    s.thread.join();
  }
  s.socket.Close();
}

void SimTransport::State::Run() {
  while (!stopping) {
    // Nothing held back (the usual case) needs no look at the clock.
    const int waitMs = queue.Size() == 0 ? -1 : queue.WaitMs(clock->Now());
    if (waitMs < 0) {
      // Nothing held back: sleep in the receive, so a request costs one call to take in.
      const int received = socket.Receive(/*wait=*/true);
      if (stopping) return;
      Handle(received);
      if (received == ListeningUdpSocket::kBatch) ReceiveWaiting();
    } else {
      const ListeningUdpSocket::Wait woke = socket.WaitReadable(waitMs);
      if (woke == ListeningUdpSocket::Wait::kInterrupted) return;
      if (woke == ListeningUdpSocket::Wait::kReadable) ReceiveWaiting();
    }
    SendDue();
    hooks.idle();
  }
}

void SimTransport::State::ReceiveWaiting() {
  for (int batch = 0; batch < kBatchesPerWake; ++batch) {
    const int received = socket.Receive(/*wait=*/false);
    Handle(received);
    if (received < ListeningUdpSocket::kBatch) return;
  }
}

// Has the datagrams of the last receive answered, and sends what is due.
void SimTransport::State::Handle(int received) {
  const uint32_t now = clock->Now();
  for (int i = 0; i < received; ++i) {
    const ListeningUdpSocket::Datagram& taken = socket.Received(i);
    SimDatagram datagram;
    datagram.length = taken.length;
    datagram.bytes = taken.bytes;
    datagram.source = taken.source;
    datagram.sourcePort = taken.sourcePort;
    datagram.destination = taken.destination;
    datagram.timeMs = now - started;
    replies.clear();
    hooks.handle(datagram, replies);
    for (SimReply& reply : replies) {
      // A reply nothing holds back goes out with this batch's, past the queue.
      if (queue.HoldsBack(reply)) {
        queue.Push(std::move(reply), now);
      } else {
        ready.push_back(std::move(reply));
      }
    }
  }
  for (size_t first = 0; first < ready.size();) {
    first += Transmit(std::span<SimReply>(ready).subspan(first));
  }
  ready.clear();
  SendDue();
}

void SimTransport::State::SendDue() {
  if (queue.Size() == 0) return;
  std::vector<SimReply> due = queue.TakeDue(clock->Now());
  for (size_t first = 0; first < due.size();) {
    first += Transmit(std::span<SimReply>(due).subspan(first));
  }
}

// Sends up to one batch of replies from the front of due; returns how many are done with, sent
// or lost.
size_t SimTransport::State::Transmit(std::span<SimReply> due) {
  const size_t count = std::min<size_t>(due.size(), ListeningUdpSocket::kBatch);
  outgoing.clear();
  for (const SimReply& reply : due.first(count)) {
    // Answer from the target's own address, as a device would. A 127.x source may not leave
    // loopback: one who asked across an adapter is answered from that adapter's address, and
    // the reply still names the target's own address inside. Any other address a target has is
    // one of this machine's own, and may be the source of any reply.
    const bool sendable =
        reply.source != 0 && (!IsLoopback(reply.source) || IsLoopback(reply.destination));
    const uint32_t source = sendable ? reply.source : 0;
    outgoing.push_back({reply.bytes, source, reply.destination, reply.destinationPort});
  }
  for (int attempt = 0;; ++attempt) {
    int error = 0;
    const int sent = socket.Send(outgoing, error);
    if (sent > 0) {
      for (int i = 0; i < sent; ++i) Record(due[static_cast<size_t>(i)], "sent", "");
      return static_cast<size_t>(sent);
    }
    // A full send queue empties quickly on loopback: wait for room a few times.
    if ((error == wsa::kWouldBlock || error == wsa::kNoBuffers) && attempt < 20) {
      socket.WaitWritable(10);
      continue;
    }
    Record(due.front(), "lost", WinsockErrorText(error));
    return 1;
  }
}

void SimTransport::State::Record(SimReply& reply, const char* event, const std::string& reason) {
  if (!reply.traced) return;
  TraceRecord& record = reply.record;
  record.timeMs = clock->Now() - started;
  record.event = event;
  record.reason = reason;
  hooks.record(record);
}

}  // namespace qor::sim
