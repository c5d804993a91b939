#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qor::sim {

// A range of a target's memory whose CRC-32 a dump reports.
struct SimRegion {
  uint32_t address = 0;
  uint32_t length = 0;

  bool operator==(const SimRegion&) const = default;
};

// Whoever runs the simulator (a soak test, say) asks it for every target's state with a
// datagram of its own, outside the target protocol, sent to the simulator's port: this text,
// then any number of " ADDRESS:LENGTH" regions (numbers decimal or 0x hexadecimal). Taken in
// order with the requests before it, so the state is what those requests left.
inline constexpr std::string_view kDumpRequestText = "qor-sim dump";

struct SimDumpRequest {
  std::vector<SimRegion> regions;
  std::string error;  // why the request cannot be carried out; empty when it can
};

// Nothing when bytes are no dump request.
[[nodiscard]] std::optional<SimDumpRequest> ParseDumpRequest(std::span<const uint8_t> bytes);

}  // namespace qor::sim
