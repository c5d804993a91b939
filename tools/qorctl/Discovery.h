#pragma once

#include <cstdint>
#include <functional>

namespace qor {
class TargetNetwork;
}

namespace qor::cli {

// Broadcasts a discovery and takes answers for waitMs, or until done() says so. Unless once is
// set, the request goes out again 250 and 500 ms after the first (within waitMs), so that one
// lost broadcast does not hide a target. Returns false when the first broadcast failed; its
// message is then on standard error.
[[nodiscard]] bool DiscoverTargets(TargetNetwork& network, uint32_t waitMs,
                                   const std::function<bool()>& done = {}, bool once = false);

}  // namespace qor::cli
