#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/RangeSweep.h"

namespace qor {

class TargetNetwork;

// What a discovery tells its caller as it goes, and when it may stop early.
struct DiscoveryHooks {
  // Asked after every poll: true ends the wait (the target sought has answered, say).
  std::function<bool()> done;
  // Send the request once, without the repeats after 250 and 500 ms.
  bool once = false;
  // A line for the operator: a broadcast that could not be sent, a range's failed sends.
  std::function<void(const std::string& text)> note;
  // Where the range's sweep stands, every kSweepReportEveryMs while it runs, and once more when
  // it has ended (running false).
  std::function<void(const SweepReport& report)> sweep;
};

inline constexpr uint32_t kSweepReportEveryMs = 200;

// Broadcasts a discovery and takes answers for waitMs, or until done() says so. Unless once is
// set, the request goes out again 250 and 500 ms after the first (within waitMs), so that one
// lost broadcast does not hide a target. With a range set on the network, the range is swept
// first (answers taken in meanwhile, done() asked) and the wait begins after it. Returns false
// when the first broadcast failed (without a range), or when no address of the range could be
// sent to; the reason went to note.
[[nodiscard]] bool RunDiscovery(TargetNetwork& network, uint32_t waitMs,
                                const DiscoveryHooks& hooks = {});

}  // namespace qor
