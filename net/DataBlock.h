#pragma once

#include <cstdint>
#include <vector>

namespace qor {

// A run of bytes at a target address.
struct DataBlock {
  uint32_t address = 0;
  std::vector<uint8_t> bytes;
};

}  // namespace qor
