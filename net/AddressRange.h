#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qor {

// The addresses of one IPv4 subnet, such as 10.71.4.0/24, to which a discovery goes one by one.
// Host order.
struct AddressRange {
  // A larger range would take minutes to sweep and is more likely a typing error.
  static constexpr int kShortestPrefix = 16;

  uint32_t network = 0;  // the first address of the subnet
  int prefix = 32;

  // "A.B.C.D/N", or "A.B.C.D" alone for that address. Bits past the prefix are dropped
  // (10.71.4.7/24 is 10.71.4.0/24). Throws Exception saying what is wrong: not a range, larger
  // than a /16, or holding addresses no target can have.
  [[nodiscard]] static AddressRange Parse(std::string_view text);

  // The addresses swept: below a /31 the subnet's own address and its broadcast address are
  // left out.
  [[nodiscard]] uint32_t First() const;
  [[nodiscard]] uint32_t Last() const;
  [[nodiscard]] uint32_t Count() const;
  // "10.71.4.0/24".
  [[nodiscard]] std::string Text() const;
};

}  // namespace qor
