#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "net/AddressRange.h"

namespace qor {

// Where a sweep of a range stands.
struct SweepReport {
  AddressRange range;
  uint32_t total = 0;      // addresses in the range
  uint32_t done = 0;       // addresses sent to, or given up on
  uint32_t failed = 0;     // of those, the ones whose send failed
  std::string firstError;  // the text of the first failure
  bool running = false;
};

// The text for a sweep whose sends failed: "Failed to send the discovery to N of the M
// addresses of RANGE: TEXT".
[[nodiscard]] std::string SweepFailureText(const SweepReport& report);

// The pace of a discovery sent to every address of a range by unicast: the request to the
// address at index i is due i * 1000 / rate ms after the start (the first at once), so that
// no second sees more than rate of them, however late the caller comes to send what is due.
class RangeSweep {
 public:
  static constexpr uint32_t kDefaultRate = 2000;

  // rate: requests a second, at least 1.
  RangeSweep(const AddressRange& range, uint32_t rate);
  ~RangeSweep();
  RangeSweep(const RangeSweep&) = delete;
  RangeSweep& operator=(const RangeSweep&) = delete;

  // From the first address again, with the clock at nowMs.
  void Start(uint32_t nowMs);
  // Sends nothing more until the next Start.
  void Stop();

  // How many addresses from Next() on are due at nowMs; 0 when none is, or the sweep is over.
  [[nodiscard]] uint32_t Due(uint32_t nowMs) const;
  // The address to send to next.
  [[nodiscard]] uint32_t Next() const;
  // count addresses from Next() on were sent to.
  void Sent(uint32_t count);
  // The send to Next() failed for good: counted, the first text kept, and on to the next.
  void Failed(const std::string& message);
  // Milliseconds from nowMs until the next address is due (0: it is); nothing when the sweep
  // is over or stopped.
  [[nodiscard]] std::optional<uint32_t> DueInMs(uint32_t nowMs) const;

  [[nodiscard]] bool Running() const;
  [[nodiscard]] SweepReport Report() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
