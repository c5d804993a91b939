#include "net/TargetNetwork.h"

#include <array>
#include <utility>

#include "net/DataBlock.h"
#include "net/ReplyReceiver.h"
#include "net/Wire.h"
#include "platform/DatagramSocket.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/TickCount.h"
#include "platform/UdpSocket.h"
#include "platform/WinsockErrorText.h"

namespace qor {

using namespace wire;

struct TargetNetwork::State {
  std::unique_ptr<DatagramSocket> socket;
  uint32_t broadcastAddress = kLimitedBroadcast;
  TargetTable table;
  std::function<void(const std::string&)> discoverErrorHandler;
  // One buffer reused for every datagram of every poll.
  std::array<uint8_t, kMaxDatagram> buffer{};

  void Dispatch(const uint8_t* bytes, size_t length, uint16_t type, TargetListObserver* observer);
};

TargetNetwork::TargetNetwork(uint32_t broadcastAddress)
    : TargetNetwork(std::make_unique<UdpSocket>(), broadcastAddress) {}

TargetNetwork::TargetNetwork(std::unique_ptr<DatagramSocket> socket, uint32_t broadcastAddress)
    : state_(std::make_unique<State>()) {
  state_->socket = std::move(socket);
  state_->broadcastAddress = broadcastAddress;
}

TargetNetwork::~TargetNetwork() {
  // Unhook waiting contexts before the targets go, then close the socket.
  state_->table.Clear();
  Close();
}

void TargetNetwork::Send(const uint8_t* message, size_t length, const Target* target) {
  const uint32_t address = target != nullptr ? target->ipAddress : state_->broadcastAddress;
  const int sent = state_->socket->SendTo(message, length, address, kTargetPort);
  if (sent < 0) {
    throw Exception(
        Format("Failed sendto: %s", WinsockErrorText(state_->socket->LastError()).c_str()));
  }
  if (static_cast<size_t>(sent) != length) {
    throw Exception(Format("sendto sent only %d of %d bytes", sent, static_cast<int>(length)));
  }
}

void TargetNetwork::Poll(TargetListObserver* observer) {
  DatagramSocket& socket = *state_->socket;
  uint8_t* const buffer = state_->buffer.data();
  for (;;) {
    uint32_t sourceAddress = 0;
    uint16_t sourcePort = 0;
    const int received = socket.ReceiveFrom(buffer, kMaxDatagram, sourceAddress, sourcePort);
    if (received < 0) {
      // Normally "would block": the queue is empty. An oversized datagram ends the poll the
      // same way; it is lost and the next poll goes on with the ones behind it.
      (void)socket.LastError();
      return;
    }
    const auto length = static_cast<size_t>(received);
    if (sourcePort != kTargetPort || length < kTypeOffset + 2) continue;
    const uint16_t type = Get16(buffer + kTypeOffset);
    if (Get16(buffer + kVersionOffset) != kVersion || (type & kReplyBit) == 0) continue;
    state_->Dispatch(buffer, length, type, observer);
  }
}

// Replies too short for a field they must carry are dropped, never read as zeros: a truncated
// FinalReply read as zeros would report success (status 0) for a request that may have failed.
void TargetNetwork::State::Dispatch(const uint8_t* bytes, size_t length, uint16_t type,
                                    TargetListObserver* observer) {
  if (length < kHeaderLength) return;
  const MacAddress mac = GetMac(bytes + kMacOffset);
  Target* target = table.Find(mac);

  if (type == kDiscoverReply) {
    if (length < kDiscoverReplyLength) return;
    const uint32_t ipAddress = Get32(bytes + 12);
    if (target == nullptr) {
      Target fresh;
      fresh.mac = mac;
      fresh.ipAddress = ipAddress;
      fresh.vendorId = Get16(bytes + 16);
      fresh.productId = Get16(bytes + 18);
      fresh.stagingSize = Get32(bytes + 20);
      target = &table.Insert(fresh);
    } else {
      // Only the address may change: the IDs and staging size stay as first announced.
      target->ipAddress = ipAddress;
    }
    if (observer != nullptr) observer->UpdateRow(*target);
    return;
  }

  if (target == nullptr || target->pendingContext == nullptr) return;
  if (length < kRequestIdOffset + 4) return;
  if (Get32(bytes + kRequestIdOffset) != target->pendingRequestId) return;

  if (type == kFinalReply) {
    if (length < kFinalReplyMinimum) return;
    const uint32_t status = Get32(bytes + kStatusOffset);
    const size_t payloadLength = length - kPayloadOffset;
    target->pendingContext->OnReply(status, payloadLength > 0 ? bytes + kPayloadOffset : nullptr,
                                    static_cast<int32_t>(payloadLength));
  } else if (type == kProgressReply) {
    if (length < kProgressReplyMinimum) return;
    target->pendingContext->OnProgress(Get32(bytes + kStatusOffset));
  }
}

void TargetNetwork::Discover() {
  state_->table.Clear();
  uint8_t message[kDiscoverRequestLength];
  Put16(message + kVersionOffset, kVersion);
  Put16(message + kTypeOffset, kDiscoverRequest);
  try {
    Send(message, sizeof message, nullptr);
  } catch (const Exception& error) {
    if (!state_->discoverErrorHandler) throw;
    state_->discoverErrorHandler(error.Message());
  }
}

void TargetNetwork::SetDiscoverErrorHandler(
    std::function<void(const std::string& message)> handler) {
  state_->discoverErrorHandler = std::move(handler);
}

bool TargetNetwork::WaitReadable(int timeoutMs) { return state_->socket->WaitReadable(timeoutMs); }

void TargetNetwork::PollFor(uint32_t milliseconds, TargetListObserver* observer,
                            const std::function<bool()>& done) {
  const uint32_t start = GetTickCount();
  for (;;) {
    Poll(observer);
    if (done && done()) return;
    // Unsigned difference: correct across the tick count's wrap.
    const uint32_t elapsed = GetTickCount() - start;
    if (elapsed >= milliseconds) return;
    WaitReadable(static_cast<int>(milliseconds - elapsed));
  }
}

void TargetNetwork::Close() { state_->socket->Close(); }

TargetTable& TargetNetwork::Table() { return state_->table; }

uint32_t TargetNetwork::BroadcastAddress() const { return state_->broadcastAddress; }

void TargetNetwork::SendAssignAddressRequest(const MacAddress& mac, uint32_t newAddress) {
  uint8_t message[kAssignAddressRequestLength];
  PutHeader(message, kAssignAddressRequest, mac);
  Put32(message + 12, newAddress);
  Send(message, sizeof message, nullptr);
}

void TargetNetwork::SendFillRequest(const Target& target, uint32_t requestId, uint32_t length) {
  uint8_t message[kFillRequestLength];
  PutHeader(message, kFillRequest, target.mac);
  Put32(message + 12, requestId);
  Put32(message + 16, 0xFFFFFFFF);
  Put32(message + 20, length);
  Send(message, sizeof message, &target);
}

void TargetNetwork::SendDataRequest(const Target& target, uint32_t requestId, uint32_t offset,
                                    const DataBlock& block) {
  const size_t count = block.bytes.size();
  if (count == 0 || count > kMaxDataBytes) {
    throw Exception(Format("A DataRequest carries 1 to %u bytes, not %u",
                           static_cast<unsigned>(kMaxDataBytes), static_cast<unsigned>(count)));
  }
  std::array<uint8_t, kDataHeaderLength + kMaxDataBytes> message{};
  PutHeader(message.data(), kDataRequest, target.mac);
  Put32(message.data() + 12, requestId);
  Put32(message.data() + 16, offset);
  std::copy(block.bytes.begin(), block.bytes.end(), message.begin() + kDataHeaderLength);
  Send(message.data(), kDataHeaderLength + count, &target);
}

void TargetNetwork::SendWriteRequest(const Target& target, uint32_t requestId, uint32_t address,
                                     uint32_t length, uint32_t crc) {
  uint8_t message[kWriteRequestLength];
  PutHeader(message, kWriteRequest, target.mac);
  Put32(message + 12, requestId);
  Put32(message + 16, address);
  Put32(message + 20, length);
  Put32(message + 24, crc);
  Send(message, sizeof message, &target);
}

void TargetNetwork::SendReadRequest(const Target& target, uint32_t requestId, uint32_t address,
                                    uint32_t length) {
  // The answer carries the bytes after a 20-byte header and must fit the receive buffer.
  if (length > kMaxDataBytes) {
    throw Exception(Format("A ReadRequest asks for at most %u bytes, not %u",
                           static_cast<unsigned>(kMaxDataBytes), length));
  }
  uint8_t message[kReadRequestLength];
  PutHeader(message, kReadRequest, target.mac);
  Put32(message + 12, requestId);
  Put32(message + 16, address);
  Put32(message + 20, length);
  Send(message, sizeof message, &target);
}

void TargetNetwork::SendRestartRequest(const Target& target, uint32_t requestId) {
  uint8_t message[kRestartRequestLength];
  PutHeader(message, kRestartRequest, target.mac);
  Put32(message + 12, requestId);
  Send(message, sizeof message, &target);
}

}  // namespace qor
