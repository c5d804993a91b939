#include "tools/qor-sim/ReplyQueue.h"

#include <algorithm>
#include <deque>
#include <limits>
#include <utility>
#include <vector>

namespace qor::sim {

struct ReplyQueue::State {
  struct Waiting {
    SimReply reply;
    uint32_t arrivedAt = 0;
  };
  uint32_t delayMs = 0;
  // The delay is the same for every reply, so arrival order is the order they fall due.
  std::deque<Waiting> waiting;
  // Replies held back longer than the rest (SimReply::extraDelayMs): few, so looked through.
  std::vector<Waiting> late;

  [[nodiscard]] uint32_t WaitFor(const SimReply& reply) const {
    return delayMs + reply.extraDelayMs;
  }
  [[nodiscard]] bool Due(const Waiting& entry, uint32_t now) const {
    // Unsigned difference: right across the clock's wrap.
    const uint32_t wait = WaitFor(entry.reply);
    return wait == 0 || now - entry.arrivedAt > wait;
  }
  [[nodiscard]] uint64_t Left(const Waiting& entry, uint32_t now) const {
    return Due(entry, now) ? 0 : uint64_t{WaitFor(entry.reply)} + 1 - (now - entry.arrivedAt);
  }
};

ReplyQueue::ReplyQueue(uint32_t delayMs) : state_(std::make_unique<State>()) {
  state_->delayMs = delayMs;
}

ReplyQueue::~ReplyQueue() = default;

void ReplyQueue::Push(SimReply reply, uint32_t arrivedAt) {
  if (reply.extraDelayMs > 0) {
    state_->late.push_back({std::move(reply), arrivedAt});
  } else {
    state_->waiting.push_back({std::move(reply), arrivedAt});
  }
}

std::vector<SimReply> ReplyQueue::TakeDue(uint32_t now) {
  std::vector<SimReply> due;
  auto& waiting = state_->waiting;
  while (!waiting.empty() && state_->Due(waiting.front(), now)) {
    due.push_back(std::move(waiting.front().reply));
    waiting.pop_front();
  }
  auto& late = state_->late;
  const auto kept =
      std::stable_partition(late.begin(), late.end(),
                            [&](const State::Waiting& entry) { return !state_->Due(entry, now); });
  for (auto entry = kept; entry != late.end(); ++entry) due.push_back(std::move(entry->reply));
  late.erase(kept, late.end());
  return due;
}

int ReplyQueue::WaitMs(uint32_t now) const {
  const State& s = *state_;
  if (s.waiting.empty() && s.late.empty()) return -1;
  uint64_t left =
      s.waiting.empty() ? std::numeric_limits<uint64_t>::max() : s.Left(s.waiting.front(), now);
  for (const State::Waiting& entry : s.late) left = std::min(left, s.Left(entry, now));
  return static_cast<int>(std::min<uint64_t>(left, std::numeric_limits<int>::max()));
}

bool ReplyQueue::HoldsBack(const SimReply& reply) const { return state_->WaitFor(reply) > 0; }

size_t ReplyQueue::Size() const { return state_->waiting.size() + state_->late.size(); }

}  // namespace qor::sim
