#pragma once

#include <compare>
#include <cstdint>

namespace qor {

// Vendor and product ID: how targets, product names and scripts are matched.
struct ProductKey {
  uint16_t vendorId = 0;
  uint16_t productId = 0;

  friend auto operator<=>(const ProductKey&, const ProductKey&) = default;
};

}  // namespace qor
