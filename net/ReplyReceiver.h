#pragma once

#include <cstdint>

namespace qor {

// What a request waiting for a target's answer offers the reply dispatch. A target's reply hook
// (Target::pendingContext) points at one; the run engine's contexts implement it.
class ReplyReceiver {
 public:
  // A FinalReply carrying the hooked request's id; payload is nullptr when length is 0.
  virtual void OnReply(uint32_t status, const uint8_t* payload, int32_t length) = 0;
  // A ProgressReply carrying the hooked request's id.
  virtual void OnProgress(uint32_t value) = 0;
  // The target is about to be destroyed (a new discovery empties the table): forget it.
  virtual void Detach() = 0;

 protected:
  ~ReplyReceiver() = default;
};

}  // namespace qor
