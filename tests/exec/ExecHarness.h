#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "exec/RequestId.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "net/Wire.h"
#include "platform/TickCount.h"
#include "script/ScriptDisplay.h"
#include "tests/common/FakeDatagramSocket.h"

namespace qor::test {

// Records every line a directive writes, in order, as the front ends would receive them.
class RecordingDisplay final : public ScriptDisplay {
 public:
  std::vector<std::string> operations;
  std::vector<std::string> statuses;
  uint32_t done = 0;
  uint32_t total = 0;

  void SetOperationText(const std::string& text) override { operations.push_back(text); }
  void SetStatusText(const std::string& text) override { statuses.push_back(text); }
  void SetProgress(uint32_t d, uint32_t t) override {
    done = d;
    total = t;
  }
  [[nodiscard]] std::string Operation() const {
    return operations.empty() ? std::string() : operations.back();
  }
  [[nodiscard]] std::string Status() const {
    return statuses.empty() ? std::string() : statuses.back();
  }
};

// One target on a captured socket, a fake clock and a display: what every exec test needs.
class ExecHarness : public ::testing::Test {
 protected:
  static constexpr uint32_t kTargetAddress = 0x7F00000A;

  explicit ExecHarness(uint32_t stagingSize = 0x10000) {
    auto owned = std::make_unique<FakeDatagramSocket>();
    socket = owned.get();
    network = std::make_unique<TargetNetwork>(std::move(owned));
    Target record;
    record.mac.bytes = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    record.ipAddress = kTargetAddress;
    record.vendorId = 0x1234;
    record.productId = 0x0001;
    record.stagingSize = stagingSize;
    target = network->Table().Insert(record);
    ResetRequestIds();
  }
  ~ExecHarness() override { ResetRequestIds(); }

  // Fields of the n-th datagram sent (negative n counts from the end).
  const std::vector<uint8_t>& Sent(int n) const {
    const int index = n < 0 ? static_cast<int>(socket->sent.size()) + n : n;
    return socket->sent.at(static_cast<size_t>(index)).bytes;
  }
  // Read straight from the bytes, big-endian, independently of the codec.
  uint16_t SentType(int n) const {
    return static_cast<uint16_t>(Sent(n).at(2) << 8 | Sent(n).at(3));
  }
  uint32_t SentField(int n, size_t offset) const {
    const std::vector<uint8_t>& bytes = Sent(n);
    return uint32_t{bytes.at(offset)} << 24 | uint32_t{bytes.at(offset + 1)} << 16 |
           uint32_t{bytes.at(offset + 2)} << 8 | bytes.at(offset + 3);
  }
  uint32_t SentId(int n) const { return SentField(n, 12); }
  std::vector<uint8_t> SentData(int n) const {
    return {Sent(n).begin() + wire::DataRequest::kHeaderLength, Sent(n).end()};
  }
  size_t SentCount() const { return socket->sent.size(); }

  // Queues a FinalReply from the target and polls it in.
  void Reply(uint32_t requestId, uint32_t status = 0, const std::vector<uint8_t>& payload = {}) {
    socket->Deliver(wire::FinalReply{
        .mac = target->mac, .requestId = requestId, .status = status, .payload = payload}
                        .Encode());
    network->Poll();
  }
  void ReplyToLast(uint32_t status = 0, const std::vector<uint8_t>& payload = {}) {
    Reply(SentId(-1), status, payload);
  }
  void Progress(uint32_t requestId, uint32_t value) {
    socket->Deliver(
        wire::ProgressReply{.mac = target->mac, .requestId = requestId, .value = value}.Encode());
    network->Poll();
  }

  FakeTickSource clock{5000};
  ScopedTickSource installed{clock};
  FakeDatagramSocket* socket = nullptr;
  std::unique_ptr<TargetNetwork> network;
  Target* target = nullptr;
  RecordingDisplay display;
};

}  // namespace qor::test
