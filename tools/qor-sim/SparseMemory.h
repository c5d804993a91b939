#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qor::sim {

class PagePool;

// A simulated target's memory or staging buffer over a 4 GiB address space (and beyond: the
// addresses are 64-bit so that a range may end exactly at 2^32). Pages appear when first
// written; bytes never written read 0xFF, as erased flash does. Callers keep ranges in bounds.
// Memories made from one pool may share pages: CopyFrom passes whole pages over without
// copying a byte, and a page is copied only when one of its holders writes to it.
class SparseMemory {
 public:
  // Pages from a pool of its own.
  SparseMemory();
  explicit SparseMemory(std::shared_ptr<PagePool> pool);
  ~SparseMemory();
  SparseMemory(SparseMemory&&) noexcept;
  SparseMemory& operator=(SparseMemory&&) noexcept;

  void Read(uint64_t address, uint64_t length, uint8_t* out) const;
  // The CRC-32 of the range, extended from crc, read where the pages are: a run of pages never
  // written costs one step however long it is.
  [[nodiscard]] uint32_t Crc32(uint64_t address, uint64_t length, uint32_t crc = 0) const;
  void Write(uint64_t address, uint64_t length, const uint8_t* bytes);
  // Filling whole pages with 0xFF frees them (their storage is kept for the next pages written).
  void Fill(uint64_t address, uint64_t length, uint8_t value);
  // Makes length bytes from address the same as source's from sourceAddress: where both lie
  // on the same place in a page and the two memories share a pool, by sharing the pages.
  void CopyFrom(const SparseMemory& source, uint64_t sourceAddress, uint64_t address,
                uint64_t length);
  // Pages holding storage: what the memory costs (a shared page counts for each holder).
  [[nodiscard]] size_t PageCount() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Where the pages of memories come from, and go back to when no memory holds them. Not
// thread-safe: the memories that share one are used from one thread at a time.
[[nodiscard]] std::shared_ptr<PagePool> MakePagePool();

}  // namespace qor::sim
