#include "net/Crc32.h"

#include <array>

namespace qor {
namespace {

// The standard table for the reflected polynomial 0xEDB88320, built once at compile time.
constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

}  // namespace

uint32_t Crc32(std::span<const uint8_t> bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (const uint8_t byte : bytes) crc = kTable[(crc ^ byte) & 0xFFu] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

uint32_t Crc32(int32_t count, const uint8_t* bytes) {
  if (count <= 0 || bytes == nullptr) return 0;
  return Crc32(std::span<const uint8_t>(bytes, static_cast<size_t>(count)));
}

}  // namespace qor
