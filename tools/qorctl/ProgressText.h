#pragma once

#include <cstdint>
#include <string>

namespace qor::cli {

// "3.250 s" for a time in milliseconds, as a run's line ends.
[[nodiscard]] std::string ElapsedText(uint64_t milliseconds);

// "[##########..........]  50%" for done of total bytes (total above 0).
[[nodiscard]] std::string ProgressBar(uint32_t done, uint32_t total);

// "1.5 MiB/s  0:07 left" for a transfer that stood at startDone bytes at startTick and stands at
// done of total now, once it has gone on long enough to tell; empty before that and once it is
// complete.
[[nodiscard]] std::string TransferRateText(uint32_t startDone, uint32_t startTick, uint32_t done,
                                           uint32_t total, uint32_t now);

}  // namespace qor::cli
