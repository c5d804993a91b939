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

std::string AddressProblem(uint32_t address) {
  const std::string text = IpAddressText(address);
  if (address == 0) return "0.0.0.0 stands for no address at all";
  if (address == 0xFFFFFFFF) return "255.255.255.255 is the broadcast address of every network";
  if ((address >> 24) == 0) return text + " is reserved: 0.0.0.0/8 stands for this network";
  if ((address >> 28) == 0xE) return text + " is a multicast address (224.0.0.0/4)";
  if ((address >> 28) == 0xF) return text + " is reserved for future use (240.0.0.0/4)";
  return {};
}

}  // namespace qor
