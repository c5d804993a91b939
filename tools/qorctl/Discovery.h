#pragma once

#include <cstdint>
#include <functional>

namespace qor {
class TargetNetwork;
}

namespace qor::cli {

// Broadcasts a discovery and takes answers for waitMs, or until done() says so. Returns false
// when the broadcast failed; its message is then on standard error.
[[nodiscard]] bool DiscoverTargets(TargetNetwork& network, uint32_t waitMs,
                                   const std::function<bool()>& done = {});

}  // namespace qor::cli
