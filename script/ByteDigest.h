#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace qor {

// A running hash over bytes as the reader takes them from a file, so that what was read can be
// checked afterwards against what was signed without reading the file a second time. The
// reader only feeds it; which hash it is comes from the layer that asks for it.
class ByteDigest {
 public:
  ByteDigest() = default;
  virtual ~ByteDigest() = default;
  ByteDigest(const ByteDigest&) = delete;
  ByteDigest& operator=(const ByteDigest&) = delete;

  virtual void Update(std::span<const uint8_t> bytes) = 0;
  // The digest of every byte given; called once, at the end.
  [[nodiscard]] virtual std::vector<uint8_t> Finish() = 0;
};

// Makes a fresh digest, one per file read.
using ByteDigestMaker = std::unique_ptr<ByteDigest> (*)();

}  // namespace qor
