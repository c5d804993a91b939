#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qor {

// A target's hardware address, ordered byte by byte as unsigned values.
struct MacAddress {
  std::array<uint8_t, 6> bytes{};

  friend auto operator<=>(const MacAddress&, const MacAddress&) = default;

  // "00:1A:2B:3C:4D:5E": upper-case hexadecimal, byte 0 first.
  [[nodiscard]] std::string ToString() const;
  // Six pairs of hexadecimal digits separated by ':' or '-'; nothing when malformed.
  [[nodiscard]] static std::optional<MacAddress> Parse(std::string_view text);
};

// For tables looked up by MAC on every datagram: the six bytes as one number.
struct MacAddressHash {
  size_t operator()(const MacAddress& mac) const noexcept {
    uint64_t key = 0;
    for (const uint8_t byte : mac.bytes) key = key << 8 | byte;
    return std::hash<uint64_t>{}(key);
  }
};

}  // namespace qor
