#pragma once

#include <array>
#include <compare>
#include <cstdint>
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

}  // namespace qor
