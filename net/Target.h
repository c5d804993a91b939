#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net/MacAddress.h"
#include "net/ProductKey.h"
#include "net/TargetEnvironment.h"
#include "platform/Format.h"  // IpAddressText, beside the target's other address texts

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
  // What went to the target since it was discovered, for the records of runs: the bytes of
  // every request handed to the socket, and the requests sent again for want of an answer.
  uint64_t bytesSent = 0;
  uint32_t resends = 0;

  [[nodiscard]] ProductKey Key() const { return {vendorId, productId}; }
};

// The text the target list shows: dotted decimal, or "Unassigned" for 0.
[[nodiscard]] std::string TargetAddressText(uint32_t address);
// Four decimal numbers 0 to 255 separated by dots ("127.0.0.10"); nothing when malformed.
[[nodiscard]] std::optional<uint32_t> ParseIpAddress(std::string_view text);
// Why no target can hold address (0.0.0.0/8, multicast, reserved and the broadcast address),
// as a text that names it; empty when a target can.
[[nodiscard]] std::string AddressProblem(uint32_t address);

}  // namespace qor
