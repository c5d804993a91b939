#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>

#include "net/Crc32.h"
#include "tools/qor-sim/SparseMemory.h"

namespace qor::sim {

// The CRC-32 of the first bytes of a staging buffer, taken as a download's chunks arrive in
// order: a write then checks only what lies beyond. The simulator serves every target from one
// thread, where reading each whole buffer at its write would hold up all the others. The last
// chunk is counted once the replies are out (CatchUp), or before anything else touches the
// buffer.
class StagedCrc {
 public:
  // The buffer's first length bytes are 0xFF now.
  void Filled(uint64_t length) {
    Lost();
    blankEnd_ = length;
  }
  // Nothing of the buffer is known.
  void Lost() { *this = {}; }
  // count bytes at offset are in the buffer now, to be counted by CatchUp, which comes before
  // anything else changes the buffer.
  void Wrote(uint64_t offset, uint64_t count) {
    // Behind what is counted, or past what is known blank: taken from the buffer at the write.
    if (offset < end_ || offset > blankEnd_) {
      Lost();
      return;
    }
    waitingAt_ = offset;
    waiting_ = count;
  }
  // Counts the bytes waiting, from the buffer they are in.
  void CatchUp(const SparseMemory& staging) {
    if (waiting_ == 0) return;
    crc_ = staging.Crc32(waitingAt_, waiting_, Crc32ExtendRepeated(crc_, 0xFF, waitingAt_ - end_));
    end_ = waitingAt_ + waiting_;
    blankEnd_ = std::max(blankEnd_, end_);
    waiting_ = 0;
  }
  // The CRC of the first count bytes, when known without reading them all.
  [[nodiscard]] std::optional<uint32_t> Of(const SparseMemory& staging, uint64_t count) {
    CatchUp(staging);
    if (count < end_ || count > blankEnd_) return std::nullopt;
    return Crc32ExtendRepeated(crc_, 0xFF, count - end_);
  }

 private:
  uint32_t crc_ = 0;  // of the bytes before end_
  uint64_t end_ = 0;
  uint64_t blankEnd_ = 0;   // the bytes from end_ to here are 0xFF
  uint64_t waitingAt_ = 0;  // bytes in the buffer, not yet counted
  uint64_t waiting_ = 0;
};

}  // namespace qor::sim
