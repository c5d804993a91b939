#pragma once

#include <cstdint>
#include <span>

namespace qor {

// The standard CRC-32 (reflected 0x04C11DB7, as in IEEE 802.3). A count of 0 or less gives 0.
[[nodiscard]] uint32_t Crc32(int32_t count, const uint8_t* bytes);

// The same over any number of bytes, for images of 2 GiB and more; no bytes give 0.
[[nodiscard]] uint32_t Crc32(std::span<const uint8_t> bytes);

}  // namespace qor
