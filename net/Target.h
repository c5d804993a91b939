#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net/MacAddress.h"
#include "net/ProductKey.h"
#include "net/TargetEnvironment.h"

namespace qor {

class ReplyReceiver;

// One discovered device. Owned by the TargetTable; references stay valid until the next discovery.
struct Target {
  MacAddress mac;
  uint32_t ipAddress = 0;  // host order; 0 when the target has none
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint32_t stagingSize = 0;
  TargetEnvironment environment;
  // The reply hook: replies carrying pendingRequestId go to pendingContext.
  ReplyReceiver* pendingContext = nullptr;
  uint32_t pendingRequestId = 0;

  [[nodiscard]] ProductKey Key() const { return {vendorId, productId}; }
};

// Dotted decimal, most significant byte first: 0x7F00000A is "127.0.0.10".
[[nodiscard]] std::string IpAddressText(uint32_t address);
// The text the target list shows: dotted decimal, or "Unassigned" for 0.
[[nodiscard]] std::string TargetAddressText(uint32_t address);
// Four decimal numbers 0 to 255 separated by dots ("127.0.0.10"); nothing when malformed.
[[nodiscard]] std::optional<uint32_t> ParseIpAddress(std::string_view text);

}  // namespace qor
