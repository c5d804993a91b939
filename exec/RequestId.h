#pragma once

#include <cstdint>

namespace qor {

// The next request identifier, 0 to 32767, from the one process-wide generator. The sequence is
// the same in every run (41, 18467, 6334, 26500, ...), as targets and traces may rely on.
[[nodiscard]] uint32_t NextRequestId();

// Restarts the sequence from its first value (tests).
void ResetRequestIds();

}  // namespace qor
