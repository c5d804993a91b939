#include "tools/qor-sim/SimTransport.h"

#include <array>
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
// Datagrams taken in per wake-up, so that delayed replies falling due meanwhile leave on time.
constexpr int kReceiveBatch = 256;

bool IsLoopback(uint32_t address) { return (address >> 24) == 127; }

}  // namespace

struct SimTransport::State {
  uint32_t bindAddress = 0;
  uint16_t port = 0;
  TickSource* clock = nullptr;
  Hooks hooks;
  ReplyQueue queue;
  ListeningUdpSocket socket;
  std::thread thread;
  uint32_t started = 0;
  std::array<uint8_t, kReceiveCapacity> buffer{};
  std::vector<SimReply> replies;  // reused for every datagram

  explicit State(uint32_t delayMs) : queue(delayMs) {}
  void Run();
  void ReceiveWaiting();
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
    s.socket.Wake();
    s.thread.join();
  }
  s.socket.Close();
}

void SimTransport::State::Run() {
  for (;;) {
    const ListeningUdpSocket::Wait woke = socket.WaitReadable(queue.WaitMs(clock->Now()));
    if (woke == ListeningUdpSocket::Wait::kWoken) return;
    if (woke == ListeningUdpSocket::Wait::kReadable) ReceiveWaiting();
    SendDue();
    hooks.idle();
  }
}

void SimTransport::State::ReceiveWaiting() {
  for (int count = 0; count < kReceiveBatch; ++count) {
    const auto received = socket.Receive(buffer.data(), buffer.size());
    if (!received) return;
    SimDatagram datagram;
    datagram.length = received->length;
    datagram.bytes =
        std::span<const uint8_t>(buffer.data(), std::min(buffer.size(), received->length));
    datagram.source = received->source;
    datagram.sourcePort = received->sourcePort;
    datagram.destination = received->destination;
    const uint32_t now = clock->Now();
    datagram.timeMs = now - started;
    replies.clear();
    hooks.handle(datagram, replies);
    for (SimReply& reply : replies) queue.Push(std::move(reply), now);
    SendDue();
  }
}

void SimTransport::State::SendDue() {
  for (SimReply& reply : queue.TakeDue(clock->Now())) Transmit(reply);
}

void SimTransport::State::Transmit(SimReply& reply) {
  // Answer from the target's own address when it is a local one, as a device would. A 127.x
  // source may not leave loopback: one who asked across an adapter is answered from that
  // adapter's address, and the reply still names the target's own address inside.
  const uint32_t source =
      IsLoopback(reply.source) && IsLoopback(reply.destination) ? reply.source : 0;
  TraceRecord& record = reply.record;
  record.timeMs = clock->Now() - started;
  for (int attempt = 0;; ++attempt) {
    const int error = socket.Send(reply.bytes.data(), reply.bytes.size(), source, reply.destination,
                                  reply.destinationPort);
    if (error == 0) {
      record.event = "sent";
      break;
    }
    // A full send queue empties quickly on loopback: wait for room a few times.
    if ((error == wsa::kWouldBlock || error == wsa::kNoBuffers) && attempt < 20) {
      socket.WaitWritable(10);
      continue;
    }
    record.event = "lost";
    record.reason = WinsockErrorText(error);
    break;
  }
  hooks.record(record);
}

}  // namespace qor::sim
