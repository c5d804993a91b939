#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "net/DataBlock.h"

namespace qor {

// A target's environment variables. std::string orders its characters as unsigned bytes, so the
// map keeps names in byte-wise order, shorter prefix first: the order of a built block.
struct TargetEnvironment {
  std::map<std::string, std::string> entries;
};

// The environment block of length bytes at address: CRC-32, then name=value entries ended by
// zero bytes, then zero fill. Entries stop at the first one that does not fit.
[[nodiscard]] DataBlock BuildEnvironmentBlock(const TargetEnvironment& environment,
                                              uint32_t address, uint32_t length);

// Merges a block read from a target into environment when its CRC is right; names already in
// the table keep their values.
void ParseEnvironmentBlock(const uint8_t* bytes, size_t length, TargetEnvironment& environment);

// Throws Exception when a block of length bytes cannot be read or written through a staging
// buffer of stagingSize bytes (length 0, or larger than the buffer).
void CheckEnvironmentBlockLength(uint32_t length, uint32_t stagingSize);

// Removes name, then stores value under it unless value is empty.
void SetVariable(TargetEnvironment& environment, const std::string& name, const std::string& value);

}  // namespace qor
