#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "net/Discovery.h"

namespace qor {
class TargetNetwork;
struct Target;
}  // namespace qor

namespace qor::cli {

// Hooks that print a discovery's notes on standard error, with the sweep's progress on a line of
// its own when standard error is a terminal.
[[nodiscard]] DiscoveryHooks ConsoleDiscoveryHooks(const std::function<bool()>& done = {},
                                                   bool once = false);

// RunDiscovery with ConsoleDiscoveryHooks. Broadcasts a discovery and takes answers for waitMs, or
// until done() says so. Unless once is set, the request goes out again 250 and 500 ms after the
// first (within waitMs), so that one lost broadcast does not hide a target. With a range set on the
// network, the range is swept first (answers taken in meanwhile, done() asked) and the wait begins
// after it; a line on a terminal shows the sweep's progress. Returns false when the first broadcast
// failed (without a range), or when no address of the range could be sent to; the message is then
// on standard error, as is the count of a range's failed sends.
[[nodiscard]] bool DiscoverTargets(TargetNetwork& network, uint32_t waitMs,
                                   const std::function<bool()>& done = {}, bool once = false);

// The addresses that more than one of targets reports, each with those targets in their order.
// Targets without an address (0) share nothing.
[[nodiscard]] std::map<uint32_t, std::vector<const Target*>> SharedAddresses(
    const std::vector<Target*>& targets);

}  // namespace qor::cli
