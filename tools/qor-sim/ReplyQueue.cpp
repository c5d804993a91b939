#include "tools/qor-sim/ReplyQueue.h"

#include <algorithm>
#include <deque>
#include <limits>
#include <utility>

namespace qor::sim {

struct ReplyQueue::State {
  struct Waiting {
    SimReply reply;
    uint32_t arrivedAt = 0;
  };
  uint32_t delayMs = 0;
  // The delay is the same for every reply, so arrival order is the order they fall due.
  std::deque<Waiting> waiting;

  [[nodiscard]] bool Due(const Waiting& entry, uint32_t now) const {
    // Unsigned difference: right across the clock's wrap.
    return delayMs == 0 || now - entry.arrivedAt > delayMs;
  }
};

ReplyQueue::ReplyQueue(uint32_t delayMs) : state_(std::make_unique<State>()) {
  state_->delayMs = delayMs;
}

ReplyQueue::~ReplyQueue() = default;

void ReplyQueue::Push(SimReply reply, uint32_t arrivedAt) {
  state_->waiting.push_back({std::move(reply), arrivedAt});
}

std::vector<SimReply> ReplyQueue::TakeDue(uint32_t now) {
  std::vector<SimReply> due;
  auto& waiting = state_->waiting;
  while (!waiting.empty() && state_->Due(waiting.front(), now)) {
    due.push_back(std::move(waiting.front().reply));
    waiting.pop_front();
  }
  return due;
}

int ReplyQueue::WaitMs(uint32_t now) const {
  if (state_->waiting.empty()) return -1;
  const State::Waiting& first = state_->waiting.front();
  if (state_->Due(first, now)) return 0;
  const uint64_t left = uint64_t{state_->delayMs} + 1 - (now - first.arrivedAt);
  return static_cast<int>(std::min<uint64_t>(left, std::numeric_limits<int>::max()));
}

size_t ReplyQueue::Size() const { return state_->waiting.size(); }

}  // namespace qor::sim
