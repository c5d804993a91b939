#pragma once

#include <cstdint>
#include <vector>

#include "exec/Context.h"
#include "net/TargetNetwork.h"

namespace qor::test {

// A directive's run state reduced to a record of what reached it.
class RecordingContext final : public Context {
 public:
  struct Reply {
    uint32_t status = 0;
    bool payloadIsNull = true;
    std::vector<uint8_t> payload;
  };
  std::vector<Reply> replies;
  std::vector<uint32_t> progress;

  void OnReply(uint32_t status, const uint8_t* payload, int32_t length) override {
    Reply reply;
    reply.status = status;
    reply.payloadIsNull = payload == nullptr;
    if (payload != nullptr && length > 0) reply.payload.assign(payload, payload + length);
    replies.push_back(std::move(reply));
  }
  void OnProgress(uint32_t value) override { progress.push_back(value); }
};

// The target list reduced to the rows it was asked to update.
class RecordingList final : public TargetListObserver {
 public:
  std::vector<Target*> updates;
  void UpdateRow(Target& target) override { updates.push_back(&target); }
};

}  // namespace qor::test
