#include "net/RangeSweep.h"

#include <algorithm>

#include "platform/Format.h"

namespace qor {

std::string SweepFailureText(const SweepReport& report) {
  return Format("Failed to send the discovery to %u of the %u addresses of %s: %s", report.failed,
                report.total, report.range.Text().c_str(), report.firstError.c_str());
}

struct RangeSweep::State {
  AddressRange range;
  uint32_t rate = RangeSweep::kDefaultRate;
  uint32_t startMs = 0;
  uint32_t next = 0;  // index of the next address
  uint32_t failed = 0;
  std::string firstError;
  bool running = false;

  // Milliseconds after the start at which the address of index is due, rounded up.
  [[nodiscard]] uint64_t DueAt(uint32_t index) const {
    return (uint64_t{index} * 1000 + rate - 1) / rate;
  }
};

RangeSweep::RangeSweep(const AddressRange& range, uint32_t rate)
    : state_(std::make_unique<State>()) {
  state_->range = range;
  state_->rate = std::max(rate, 1u);
}

RangeSweep::~RangeSweep() = default;

void RangeSweep::Start(uint32_t nowMs) {
  State& s = *state_;
  s.startMs = nowMs;
  s.next = 0;
  s.failed = 0;
  s.firstError.clear();
  s.running = true;
}

void RangeSweep::Stop() { state_->running = false; }

uint32_t RangeSweep::Due(uint32_t nowMs) const {
  const State& s = *state_;
  if (!s.running) return 0;
  // Unsigned difference: right across the tick count's wrap.
  const uint64_t elapsed = nowMs - s.startMs;
  // Addresses 0 to elapsed * rate / 1000 are due by now.
  const uint64_t dueBy = std::min<uint64_t>(elapsed * s.rate / 1000 + 1, s.range.Count());
  return dueBy > s.next ? static_cast<uint32_t>(dueBy - s.next) : 0;
}

uint32_t RangeSweep::Next() const { return state_->range.First() + state_->next; }

void RangeSweep::Sent(uint32_t count) {
  State& s = *state_;
  s.next = std::min(s.next + count, s.range.Count());
  if (s.next == s.range.Count()) s.running = false;
}

void RangeSweep::Failed(const std::string& message) {
  State& s = *state_;
  if (s.failed++ == 0) s.firstError = message;
  Sent(1);
}

std::optional<uint32_t> RangeSweep::DueInMs(uint32_t nowMs) const {
  const State& s = *state_;
  if (!s.running) return std::nullopt;
  const uint64_t elapsed = nowMs - s.startMs;
  const uint64_t at = s.DueAt(s.next);
  return at > elapsed ? static_cast<uint32_t>(at - elapsed) : 0;
}

bool RangeSweep::Running() const { return state_->running; }

SweepReport RangeSweep::Report() const {
  const State& s = *state_;
  return {s.range, s.range.Count(), s.next, s.failed, s.firstError, s.running};
}

}  // namespace qor
