#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "tools/qor-sim/SimModel.h"

namespace qor::sim {

// Replies held back by the simulator's reply delay, in the order their requests arrived, and a
// few held back longer still (SimReply::extraDelayMs), each leaving at its own time. Times
// are ticks of a millisecond clock that wraps at 2^32 (platform/TickCount.h), passed in, so the
// queue runs on a fake clock in tests.
class ReplyQueue {
 public:
  explicit ReplyQueue(uint32_t delayMs);
  ~ReplyQueue();
  ReplyQueue(const ReplyQueue&) = delete;
  ReplyQueue& operator=(const ReplyQueue&) = delete;

  void Push(SimReply reply, uint32_t arrivedAt);
  // The replies whose time has come, oldest first. With a delay, that is once more than the
  // delay has passed: on a clock of whole milliseconds, reaching it could be up to 1 ms early.
  [[nodiscard]] std::vector<SimReply> TakeDue(uint32_t now);
  // Milliseconds until the next reply falls due: -1 when none waits, 0 when one is due now.
  [[nodiscard]] int WaitMs(uint32_t now) const;
  [[nodiscard]] size_t Size() const;
  // Whether the reply would wait at all: without a delay it may go out at once, past the queue.
  [[nodiscard]] bool HoldsBack(const SimReply& reply) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor::sim
