#pragma once

#include <cstdint>
#include <vector>

namespace qor::test {

// The 2 KiB image at 0x00010000 that the tests' scripts assemble from two S3 records: bytes 1
// to 8 at its start, CA FE BA BE at 0x600, 0xFF elsewhere.
inline std::vector<uint8_t> ImageBytes() {
  std::vector<uint8_t> bytes(0x800, 0xFF);
  for (int i = 0; i < 8; ++i) bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(i + 1);
  bytes[0x600] = 0xCA;
  bytes[0x601] = 0xFE;
  bytes[0x602] = 0xBA;
  bytes[0x603] = 0xBE;
  return bytes;
}

// What a station runs on each unit in the tests: that image, the environment block loaded and
// saved, a restart. For product 0x1234:0x0001.
inline constexpr const char* kStationScript =
    "*product 0x1234 1 \"Demo Board\"\n"
    "*script 0x1234 1 \"Provision\"\n"
    "*section \"Firmware\"\n"
    "*download 0x00010000 0x800\n"
    "S30D000100000102030405060708CD\n"
    "S30900010600CAFEBABEAF\n"
    "*section \"Settings\"\n"
    "*loadenv 0x00F00000 0x1000\n"
    "*saveenv 0x00F00000 0x1000\n"
    "*restart\n";

}  // namespace qor::test
