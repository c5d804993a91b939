#include "net/TargetEnvironment.h"

#include <algorithm>
#include <span>

#include "net/Crc32.h"
#include "platform/Exception.h"
#include "platform/Format.h"

namespace qor {
namespace {

constexpr size_t kCrcSize = 4;

}  // namespace

DataBlock BuildEnvironmentBlock(const TargetEnvironment& environment, uint32_t address,
                                uint32_t length) {
  DataBlock block;
  block.address = address;
  block.bytes.assign(length, 0);
  // Below four bytes there is no room even for the CRC: the block stays all zero.
  if (length < kCrcSize) return block;

  size_t position = kCrcSize;
  for (const auto& [name, value] : environment.entries) {
    const size_t needed = name.size() + value.size() + 2;
    // The first entry that does not fit ends the list, even if a later one would fit.
    if (length - position < needed) break;
    auto out = block.bytes.begin() + static_cast<std::ptrdiff_t>(position);
    out = std::copy(name.begin(), name.end(), out);
    *out++ = '=';
    std::copy(value.begin(), value.end(), out);
    position += needed;  // the zero byte is already there
  }

  const uint32_t crc =
      Crc32(std::span<const uint8_t>(block.bytes).subspan(kCrcSize, length - kCrcSize));
  block.bytes[0] = static_cast<uint8_t>(crc >> 24);
  block.bytes[1] = static_cast<uint8_t>(crc >> 16);
  block.bytes[2] = static_cast<uint8_t>(crc >> 8);
  block.bytes[3] = static_cast<uint8_t>(crc);
  return block;
}

EnvironmentBlockState ParseEnvironmentBlock(const uint8_t* bytes, size_t length,
                                            TargetEnvironment& environment) {
  if (bytes == nullptr) length = 0;
  const auto unusable = [&] {
    const bool blank =
        std::all_of(bytes, bytes + length, [](uint8_t byte) { return byte == 0xFF; });
    return blank ? EnvironmentBlockState::kBlank : EnvironmentBlockState::kDamaged;
  };
  // Without room for a CRC nothing in the block can be trusted.
  if (length < kCrcSize) return unusable();
  const uint32_t stored = (static_cast<uint32_t>(bytes[0]) << 24) |
                          (static_cast<uint32_t>(bytes[1]) << 16) |
                          (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
  if (stored != Crc32(std::span<const uint8_t>(bytes + kCrcSize, length - kCrcSize))) {
    return unusable();
  }

  size_t position = kCrcSize;
  while (position < length && bytes[position] != 0) {
    size_t equals = position;
    while (equals < length && bytes[equals] != 0 && bytes[equals] != '=') ++equals;
    // Text without '=' ends the list.
    if (equals == length || bytes[equals] != '=') return EnvironmentBlockState::kValid;
    size_t end = equals + 1;
    while (end < length && bytes[end] != 0) ++end;
    std::string name(reinterpret_cast<const char*>(bytes + position), equals - position);
    std::string value(reinterpret_cast<const char*>(bytes + equals + 1), end - equals - 1);
    // Merge: a name the table already holds keeps its value; within a block the first wins.
    environment.entries.emplace(std::move(name), std::move(value));
    position = end + 1;
  }
  return EnvironmentBlockState::kValid;
}

uint64_t EnvironmentBlockNeed(const TargetEnvironment& environment) {
  uint64_t need = kCrcSize;
  for (const auto& [name, value] : environment.entries) need += name.size() + value.size() + 2;
  return need;
}

void CheckEnvironmentFits(const TargetEnvironment& environment, uint32_t address, uint32_t length) {
  const uint64_t need = EnvironmentBlockNeed(environment);
  if (need <= length) return;
  throw Exception(Format("Environment variables need %llu bytes; the block at %08X holds %u",
                         static_cast<unsigned long long>(need), address, length));
}

void CheckEnvironmentBlockLength(uint32_t length, uint32_t stagingSize) {
  if (length == 0) throw Exception("Environment block must be of nonzero length");
  if (length > stagingSize) {
    throw Exception(
        Format("Environment block of %u bytes is too large for target's %u-byte staging buffer",
               length, stagingSize));
  }
}

void SetVariable(TargetEnvironment& environment, const std::string& name,
                 const std::string& value) {
  environment.entries.erase(name);
  if (!value.empty()) environment.entries.emplace(name, value);
}

}  // namespace qor
