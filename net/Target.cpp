#include "net/Target.h"

#include "platform/Format.h"

namespace qor {

std::string TargetAddressText(uint32_t address) {
  return address == 0 ? std::string("Unassigned") : IpAddressText(address);
}

std::optional<uint32_t> ParseIpAddress(std::string_view text) {
  uint32_t address = 0;
  size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (at >= text.size() || text[at] != '.') return std::nullopt;
      ++at;
    }
    const size_t start = at;
    uint32_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 3) {
      value = value * 10 + static_cast<uint32_t>(text[at] - '0');
      ++at;
    }
    if (at == start || value > 255) return std::nullopt;
    address = (address << 8) | value;
  }
  if (at != text.size()) return std::nullopt;
  return address;
}

}  // namespace qor
