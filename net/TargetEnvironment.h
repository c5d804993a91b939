#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "net/DataBlock.h"

namespace qor {

// What a block read from a target held. A blank block (every byte 0xFF) is erased flash, the
// normal first-time case; a damaged one has a CRC that does not match, so its variables were
// not taken in and writing the block back would lose them.
enum class EnvironmentBlockState { kValid, kBlank, kDamaged };

// A target's environment variables. std::string orders its characters as unsigned bytes, so the
// map keeps names in byte-wise order, shorter prefix first: the order of a built block.
struct TargetEnvironment {
  std::map<std::string, std::string> entries;
  // How the block at each address was last found on the target (read, or written by a run),
  // for as long as the table itself lives: until the next discovery.
  std::map<uint32_t, EnvironmentBlockState> blocks;
};

// The environment block of length bytes at address: CRC-32, then name=value entries ended by
// zero bytes, then zero fill. Entries stop at the first one that does not fit.
[[nodiscard]] DataBlock BuildEnvironmentBlock(const TargetEnvironment& environment,
                                              uint32_t address, uint32_t length);

// Merges a block read from a target into environment when its CRC is right; names already in
// the table keep their values. Tells which it was: a block with a wrong CRC adds nothing, and
// is blank when every byte is 0xFF, damaged otherwise.
EnvironmentBlockState ParseEnvironmentBlock(const uint8_t* bytes, size_t length,
                                            TargetEnvironment& environment);

// The bytes a block built from environment takes: its CRC and every entry with its '=' and
// ending zero byte.
[[nodiscard]] uint64_t EnvironmentBlockNeed(const TargetEnvironment& environment);

// Throws Exception when the table does not fit the block of length bytes at address, so that
// no variable is left out of what is written: "Environment variables need 5000 bytes; the block
// at 00F00000 holds 4096".
void CheckEnvironmentFits(const TargetEnvironment& environment, uint32_t address, uint32_t length);

// Throws Exception when a block of length bytes cannot be read or written through a staging
// buffer of stagingSize bytes (length 0, or larger than the buffer).
void CheckEnvironmentBlockLength(uint32_t length, uint32_t stagingSize);

// Removes name, then stores value under it unless value is empty.
void SetVariable(TargetEnvironment& environment, const std::string& name, const std::string& value);

}  // namespace qor
