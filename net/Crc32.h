#pragma once

#include <cstdint>
#include <span>

namespace qor {

// The standard CRC-32 (reflected 0x04C11DB7, as in IEEE 802.3). A count of 0 or less gives 0.
[[nodiscard]] uint32_t Crc32(int32_t count, const uint8_t* bytes);

// The same over any number of bytes, for images of 2 GiB and more; no bytes give 0.
[[nodiscard]] uint32_t Crc32(std::span<const uint8_t> bytes);

// The CRC-32 of the bytes crc was taken over followed by bytes: a CRC built piece by piece.
// Starting from 0 gives Crc32(bytes).
[[nodiscard]] uint32_t Crc32Extend(uint32_t crc, std::span<const uint8_t> bytes);

// The CRC-32 of the bytes crc was taken over followed by count copies of value, in time
// logarithmic in count: a blank run of gigabytes need not be held in memory to be checked.
[[nodiscard]] uint32_t Crc32ExtendRepeated(uint32_t crc, uint8_t value, uint64_t count);

}  // namespace qor
