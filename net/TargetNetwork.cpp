#include "net/TargetNetwork.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>
#include <vector>

#include "net/DataBlock.h"
#include "net/ReplyReceiver.h"
#include "net/Wire.h"
#include "platform/DatagramSocket.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/NetworkAdapters.h"
#include "platform/TickCount.h"
#include "platform/UdpSocket.h"
#include "platform/WinsockErrorText.h"

namespace qor {

namespace {

// Datagrams taken in with one receive call.
constexpr int kReceiveBatch = 64;

void SendMessage(TargetNetwork& network, const wire::Bytes& message, const Target* target) {
  network.Send(message.data(), message.size(), target);
}

}  // namespace

struct TargetNetwork::State {
  std::unique_ptr<DatagramSocket> socket;
  BroadcastAddresses broadcasts;
  TargetTable table;
  std::function<void(const std::string&)> discoverErrorHandler;
  // Room for one batch of datagrams, reused by every poll: the same slots for every batch, so
  // a batch touches only what it uses.
  std::vector<uint8_t> buffers = std::vector<uint8_t>(kReceiveBatch * kMaxDatagram);
  std::array<ReceiveSlot, kReceiveBatch> slots = [this] {
    std::array<ReceiveSlot, kReceiveBatch> each{};
    for (size_t i = 0; i < each.size(); ++i)
      each[i] = {buffers.data() + i * kMaxDatagram, kMaxDatagram};
    return each;
  }();
  // The slots of the last batch not yet dispatched: those behind an oversized datagram, which
  // ends a poll; the next poll begins with them.
  int nextSlot = 0;
  int slotCount = 0;
  bool polling = false;
  std::function<void()> replyListener;
  bool replyDelivered = false;  // since the listener was last told
  // Since the last TakeAnswered: bounded, as nobody may ever take them.
  std::vector<Target*> answered;
  bool answeredLost = false;
  // Requests held for one batch send: their bytes one after another, and where each goes.
  struct HeldRequest {
    size_t offset = 0;
    size_t length = 0;
    const Target* target = nullptr;
  };
  bool holding = false;
  std::vector<uint8_t> heldBytes;
  std::vector<HeldRequest> held;
  std::vector<SendSlot> sendSlots;  // reused by every SendHeld, as are the two above
  wire::Bytes unheld;               // a request encoded while nothing is held
  // The range every discovery also sweeps by unicast; none without one.
  std::unique_ptr<RangeSweep> sweep;

  // Sends the sweep's requests that have come due; failures are kept in its report.
  void SweepDue();

  // Receives and dispatches every waiting datagram, first waiting up to waitMs for one.
  void Receive(int waitMs, TargetListObserver* observer);
  // Dispatches the batch's slots from nextSlot on; false when an oversized one ended the poll.
  bool DispatchSlots(TargetListObserver* observer);
  void Accept(const ReceiveSlot& slot, TargetListObserver* observer);
  // Throws the Exception of Send.
  void SendTo(const uint8_t* message, size_t length, uint32_t address);
  // Where a request to a target is encoded, from start: at the end of the held batch, or in a
  // buffer of its own when it goes at once.
  wire::Bytes& RequestBuffer(size_t& start);
  // Holds or sends the request encoded from start in RequestBuffer, counting its bytes on the
  // target. Throws the Exception of Send.
  void SendRequest(size_t start, const Target& target);
  void Dispatch(wire::ByteView bytes, uint16_t type, TargetListObserver* observer);
  void Announce(const wire::DiscoverReply& reply, TargetListObserver* observer);
  // The target whose context waits for requestId; null when none does.
  [[nodiscard]] Target* Waiting(const MacAddress& mac, uint32_t requestId);
  void NoteAnswered(Target* target) {
    if (answered.size() < TargetTable::kMaxTargets) {
      answered.push_back(target);
    } else {
      answeredLost = true;
    }
  }
};

TargetNetwork::BroadcastAddresses TargetNetwork::EveryAdapter() {
  return [] { return BroadcastAddressesOf(ListBroadcastAdapters()); };
}

std::vector<uint32_t> TargetNetwork::BroadcastAddressesOf(
    const std::vector<NetworkAdapter>& adapters) {
  std::vector<uint32_t> addresses{kLimitedBroadcast};
  for (const NetworkAdapter& adapter : adapters) {
    const std::optional<uint32_t> broadcast = DirectedBroadcast(adapter);
    // Two addresses on one subnet share its broadcast: one datagram is enough.
    if (broadcast && std::find(addresses.begin(), addresses.end(), *broadcast) == addresses.end()) {
      addresses.push_back(*broadcast);
    }
  }
  return addresses;
}

std::vector<uint32_t> TargetNetwork::BroadcastAddressesOf(const NetworkInterface& adapter) {
  if (!adapter.canBroadcast && !adapter.loopback) return {kLimitedBroadcast};
  return BroadcastAddressesOf(adapter.addresses);
}

TargetNetwork::TargetNetwork(uint32_t broadcastAddress)
    : TargetNetwork(std::make_unique<UdpSocket>(), broadcastAddress) {}

TargetNetwork::TargetNetwork(BroadcastAddresses broadcasts)
    : TargetNetwork(std::make_unique<UdpSocket>(), std::move(broadcasts)) {}

TargetNetwork::TargetNetwork(std::unique_ptr<DatagramSocket> socket, uint32_t broadcastAddress)
    : TargetNetwork(std::move(socket),
                    [broadcastAddress] { return std::vector<uint32_t>{broadcastAddress}; }) {}
TargetNetwork::TargetNetwork(std::unique_ptr<DatagramSocket> socket, BroadcastAddresses broadcasts)
    : state_(std::make_unique<State>()) {
  state_->socket = std::move(socket);
  state_->broadcasts = std::move(broadcasts);
}

TargetNetwork::~TargetNetwork() {
  // Unhook waiting contexts before the targets go, then close the socket.
  state_->table.Clear();
  Close();
}

void TargetNetwork::Send(const uint8_t* message, size_t length, const Target* target) {
  State& s = *state_;
  if (target != nullptr) {
    size_t start = 0;
    wire::Bytes& out = s.RequestBuffer(start);
    out.insert(out.end(), message, message + length);
    s.SendRequest(start, *target);
    return;
  }
  // One address that cannot be reached (a limited broadcast without a default route, say) must
  // not keep the broadcast from the adapters that can.
  std::optional<Exception> firstFailure;
  bool sent = false;
  for (const uint32_t address : s.broadcasts()) {
    try {
      s.SendTo(message, length, address);
      sent = true;
    } catch (const Exception& error) {
      if (!firstFailure) firstFailure = error;
    }
  }
  if (!sent && firstFailure) throw *firstFailure;
}

wire::Bytes& TargetNetwork::State::RequestBuffer(size_t& start) {
  if (!holding) unheld.clear();
  wire::Bytes& out = holding ? heldBytes : unheld;
  start = out.size();
  return out;
}

void TargetNetwork::State::SendRequest(size_t start, const Target& target) {
  const wire::Bytes& out = holding ? heldBytes : unheld;
  const size_t length = out.size() - start;
  // Counted on the table's own entry; the caller's may be a copy.
  if (Target* known = table.Find(target.mac)) known->bytesSent += length;
  if (holding) {
    held.push_back({start, length, &target});
    return;
  }
  SendTo(unheld.data() + start, length, target.ipAddress);
}

void TargetNetwork::State::SendTo(const uint8_t* message, size_t length, uint32_t address) {
  const int sent = socket->SendTo(message, length, address, kTargetPort);
  if (sent < 0) {
    throw Exception(Format("Failed sendto: %s", WinsockErrorText(socket->LastError()).c_str()));
  }
  if (static_cast<size_t>(sent) != length) {
    throw Exception(Format("sendto sent only %d of %d bytes", sent, static_cast<int>(length)));
  }
}

void TargetNetwork::HoldSends() { state_->holding = true; }

void TargetNetwork::SendHeld(
    const std::function<void(const Target& target, const std::string& message)>& failed) {
  State& s = *state_;
  s.holding = false;
  // Taken out first: a failure handler may send again. Their room goes back afterwards, so
  // that a step's requests are not copied into fresh memory each time.
  std::vector<State::HeldRequest> held;
  std::vector<uint8_t> bytes;
  std::vector<SendSlot> slots;
  held.swap(s.held);
  bytes.swap(s.heldBytes);
  slots.swap(s.sendSlots);
  slots.clear();
  for (const State::HeldRequest& request : held) {
    slots.push_back(
        {bytes.data() + request.offset, request.length, request.target->ipAddress, kTargetPort});
  }
  for (size_t first = 0; first < slots.size();) {
    const int sent =
        s.socket->SendBatch(slots.data() + first, static_cast<int>(slots.size() - first));
    if (sent > 0) {
      first += static_cast<size_t>(sent);
      continue;
    }
    failed(*held[first].target,
           Format("Failed sendto: %s", WinsockErrorText(s.socket->LastError()).c_str()));
    ++first;
  }
  if (s.held.empty() && s.heldBytes.empty()) {
    held.clear();
    bytes.clear();
    s.held.swap(held);
    s.heldBytes.swap(bytes);
  }
  s.sendSlots.swap(slots);
}

void TargetNetwork::Poll(TargetListObserver* observer) { PollWaiting(0, observer); }

void TargetNetwork::PollWaiting(int timeoutMs, TargetListObserver* observer) {
  State& s = *state_;
  if (!s.polling) s.SweepDue();
  // A wait must not outlast the sweep's next send.
  if (s.sweep && timeoutMs != 0) {
    if (const auto dueIn = s.sweep->DueInMs(GetTickCount())) {
      const int cap = static_cast<int>(std::max<uint32_t>(*dueIn, 1));
      timeoutMs = timeoutMs < 0 ? cap : std::min(timeoutMs, cap);
    }
  }
  s.Receive(timeoutMs, observer);
  // Told once the poll is over, so that the listener may poll in turn.
  if (!s.polling && s.replyDelivered && s.replyListener) {
    s.replyDelivered = false;
    s.replyListener();
  }
}

bool TargetNetwork::TakeAnswered(std::vector<Target*>& answered) {
  State& s = *state_;
  answered.clear();
  answered.swap(s.answered);
  return !std::exchange(s.answeredLost, false);
}

void TargetNetwork::SetReplyListener(std::function<void()> listener) {
  state_->replyListener = std::move(listener);
  state_->replyDelivered = false;
}

void TargetNetwork::State::Receive(int waitMs, TargetListObserver* observer) {
  // A poll from inside a dispatch would take the batch being dispatched; the outer poll drains.
  if (polling) return;
  polling = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{polling};

  // Datagrams left from the last batch are waiting already: no wait, no call.
  if (nextSlot < slotCount) {
    if (!DispatchSlots(observer)) return;
    waitMs = 0;
  }
  for (;;) {
    const int received = waitMs != 0
                             ? socket->ReceiveBatchWaiting(slots.data(), kReceiveBatch, waitMs)
                             : socket->ReceiveBatch(slots.data(), kReceiveBatch);
    waitMs = 0;
    if (received < 0) {
      // Normally "would block": the queue is empty (or the wait ran out).
      (void)socket->LastError();
      return;
    }
    nextSlot = 0;
    slotCount = received;
    if (!DispatchSlots(observer)) return;
    // A batch that was not filled emptied the queue: no call just to hear that.
    if (received < kReceiveBatch) return;
  }
}

bool TargetNetwork::State::DispatchSlots(TargetListObserver* observer) {
  while (nextSlot < slotCount) {
    const ReceiveSlot& slot = slots[static_cast<size_t>(nextSlot++)];
    // An oversized datagram is lost and ends the poll; the ones behind it wait for the next.
    if (slot.length < 0) return false;
    Accept(slot, observer);
  }
  return true;
}

void TargetNetwork::State::Accept(const ReceiveSlot& slot, TargetListObserver* observer) {
  const wire::ByteView bytes(slot.buffer, static_cast<size_t>(slot.length));
  const auto prefix = wire::Prefix::Decode(bytes);
  if (slot.port != kTargetPort || !prefix) return;
  if (prefix->version != wire::kVersion || (prefix->type & wire::kReplyBit) == 0) return;
  Dispatch(bytes, prefix->type, observer);
}

// Replies too short for a field they must carry are dropped, never read as zeros: a truncated
// FinalReply read as zeros would report success (status 0) for a request that may have failed.
void TargetNetwork::State::Dispatch(wire::ByteView bytes, uint16_t type,
                                    TargetListObserver* observer) {
  if (type == kDiscoverReply) {
    if (const auto reply = wire::DiscoverReply::Decode(bytes)) Announce(*reply, observer);
  } else if (type == kFinalReply) {
    const auto reply = wire::FinalReply::Decode(bytes);
    if (!reply) return;
    if (Target* target = Waiting(reply->mac, reply->requestId)) {
      NoteAnswered(target);
      const std::vector<uint8_t>& payload = reply->payload;
      target->pendingContext->OnReply(reply->status, payload.empty() ? nullptr : payload.data(),
                                      static_cast<int32_t>(payload.size()));
      replyDelivered = true;
    }
  } else if (type == kProgressReply) {
    const auto reply = wire::ProgressReply::Decode(bytes);
    if (!reply) return;
    if (Target* target = Waiting(reply->mac, reply->requestId)) {
      NoteAnswered(target);
      target->pendingContext->OnProgress(reply->value);
      replyDelivered = true;
    }
  }
}

void TargetNetwork::State::Announce(const wire::DiscoverReply& reply,
                                    TargetListObserver* observer) {
  Target* target = table.Find(reply.mac);
  if (target == nullptr) {
    Target fresh;
    fresh.mac = reply.mac;
    fresh.ipAddress = reply.ipAddress;
    fresh.vendorId = reply.vendorId;
    fresh.productId = reply.productId;
    fresh.stagingSize = reply.stagingSize;
    target = table.Insert(fresh);
    if (target == nullptr) return;  // the table is full: counted there
  } else {
    // Only the address may change: the IDs and staging size stay as first announced.
    target->ipAddress = reply.ipAddress;
  }
  if (observer != nullptr) observer->UpdateRow(*target);
}

Target* TargetNetwork::State::Waiting(const MacAddress& mac, uint32_t requestId) {
  Target* target = table.Find(mac);
  if (target == nullptr || target->pendingContext == nullptr) return nullptr;
  return target->pendingRequestId == requestId ? target : nullptr;
}

void TargetNetwork::State::SweepDue() {
  if (!sweep || !sweep->Running()) return;
  static const wire::Bytes request = wire::DiscoverRequest{}.Encode();
  constexpr uint32_t kBatch = 64;
  std::array<SendSlot, kBatch> batch{};
  for (uint32_t due = sweep->Due(GetTickCount()); due > 0 && sweep->Running();) {
    const uint32_t count = std::min(due, kBatch);
    for (uint32_t i = 0; i < count; ++i) {
      batch[i] = {request.data(), request.size(), sweep->Next() + i, kTargetPort};
    }
    const int sent = socket->SendBatch(batch.data(), static_cast<int>(count));
    if (sent > 0) {
      sweep->Sent(static_cast<uint32_t>(sent));
      due -= static_cast<uint32_t>(sent);
      continue;
    }
    const int error = socket->LastError();
    // A full send queue empties by itself: the rest waits for the next poll.
    if (error == wsa::kWouldBlock || error == wsa::kNoBuffers) break;
    sweep->Failed(Format("Failed sendto: %s", WinsockErrorText(error).c_str()));
    --due;
  }
}

void TargetNetwork::SetDiscoveryRange(std::optional<AddressRange> range, uint32_t rate) {
  state_->sweep = range ? std::make_unique<RangeSweep>(*range, rate) : nullptr;
}

std::optional<SweepReport> TargetNetwork::Sweep() const {
  if (!state_->sweep) return std::nullopt;
  return state_->sweep->Report();
}

void TargetNetwork::StopSweep() {
  if (state_->sweep) state_->sweep->Stop();
}

void TargetNetwork::Discover() {
  state_->table.Clear();
  // Who was answered is no longer known: the targets are gone.
  state_->answered.clear();
  state_->answeredLost = true;
  Rediscover();
}

void TargetNetwork::Rediscover() {
  State& s = *state_;
  try {
    RepeatDiscoverRequest();
  } catch (const Exception& error) {
    // The sweep goes all the same: a broadcast that cannot leave says nothing of a route.
    if (s.sweep) s.sweep->Start(GetTickCount());
    if (!s.discoverErrorHandler) throw;
    s.discoverErrorHandler(error.Message());
    return;
  }
  if (s.sweep) {
    s.sweep->Start(GetTickCount());
    s.SweepDue();
  }
}

void TargetNetwork::RepeatDiscoverRequest() {
  SendMessage(*this, wire::DiscoverRequest{}.Encode(), nullptr);
}

void TargetNetwork::SetDiscoverErrorHandler(
    std::function<void(const std::string& message)> handler) {
  state_->discoverErrorHandler = std::move(handler);
}

bool TargetNetwork::WaitReadable(int timeoutMs) { return state_->socket->WaitReadable(timeoutMs); }

intptr_t TargetNetwork::SocketHandle() const { return state_->socket->NativeHandle(); }

void TargetNetwork::PollFor(uint32_t milliseconds, TargetListObserver* observer,
                            const std::function<bool()>& done) {
  const uint32_t start = GetTickCount();
  for (;;) {
    Poll(observer);
    if (done && done()) return;
    // Unsigned difference: correct across the tick count's wrap.
    const uint32_t elapsed = GetTickCount() - start;
    if (elapsed >= milliseconds) return;
    uint32_t wait = milliseconds - elapsed;
    // Woken for the sweep's next send, so that the range goes at its pace.
    if (state_->sweep) {
      // At least 1 ms: what is due now could not go (a full send queue) and must not spin.
      if (const auto dueIn = state_->sweep->DueInMs(GetTickCount())) {
        wait = std::min(wait, std::max<uint32_t>(*dueIn, 1));
      }
    }
    WaitReadable(static_cast<int>(wait));
  }
}

void TargetNetwork::Close() { state_->socket->Close(); }

TargetTable& TargetNetwork::Table() { return state_->table; }

std::vector<uint32_t> TargetNetwork::BroadcastAddressList() const { return state_->broadcasts(); }

void TargetNetwork::SendAssignAddressRequest(const MacAddress& mac, uint32_t newAddress,
                                             const Target* at) {
  SendMessage(*this, wire::AssignAddressRequest{.mac = mac, .ipAddress = newAddress}.Encode(), at);
}

void TargetNetwork::SendFillRequest(const Target& target, uint32_t requestId, uint32_t length) {
  const wire::FillRequest message{.mac = target.mac, .requestId = requestId, .length = length};
  SendMessage(*this, message.Encode(), &target);
}

void TargetNetwork::SendDataRequest(const Target& target, uint32_t requestId, uint32_t offset,
                                    const DataBlock& block) {
  SendDataRequest(target, requestId, offset, block.bytes);
}

void TargetNetwork::SendDataRequest(const Target& target, uint32_t requestId, uint32_t offset,
                                    std::span<const uint8_t> data) {
  const size_t count = data.size();
  if (count == 0 || count > kMaxDataBytes) {
    throw Exception(Format("A DataRequest carries 1 to %u bytes, not %u",
                           static_cast<unsigned>(kMaxDataBytes), static_cast<unsigned>(count)));
  }
  State& s = *state_;
  // Encoded straight where it leaves from: the chunk is copied once on its way out.
  size_t start = 0;
  wire::DataRequest::AppendEncoded(s.RequestBuffer(start), target.mac, requestId, offset, data);
  s.SendRequest(start, target);
}

void TargetNetwork::SendWriteRequest(const Target& target, uint32_t requestId, uint32_t address,
                                     uint32_t length, uint32_t crc) {
  const wire::WriteRequest message{
      .mac = target.mac, .requestId = requestId, .address = address, .length = length, .crc = crc};
  SendMessage(*this, message.Encode(), &target);
}

void TargetNetwork::SendReadRequest(const Target& target, uint32_t requestId, uint32_t address,
                                    uint32_t length) {
  // The answer carries the bytes after a 20-byte header and must fit the receive buffer.
  if (length > kMaxDataBytes) {
    throw Exception(Format("A ReadRequest asks for at most %u bytes, not %u",
                           static_cast<unsigned>(kMaxDataBytes), length));
  }
  const wire::ReadRequest message{
      .mac = target.mac, .requestId = requestId, .address = address, .length = length};
  SendMessage(*this, message.Encode(), &target);
}

void TargetNetwork::SendRestartRequest(const Target& target, uint32_t requestId) {
  SendMessage(*this, wire::RestartRequest{.mac = target.mac, .requestId = requestId}.Encode(),
              &target);
}

}  // namespace qor
