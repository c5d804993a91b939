#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace qor::sim {

// A simulated target's memory or staging buffer over a 4 GiB address space (and beyond: the
// addresses are 64-bit so that a range may end exactly at 2^32). Pages appear when first
// written; bytes never written read 0xFF, as erased flash does. Callers keep ranges in bounds.
class SparseMemory {
 public:
  SparseMemory();
  ~SparseMemory();
  SparseMemory(SparseMemory&&) noexcept;
  SparseMemory& operator=(SparseMemory&&) noexcept;

  void Read(uint64_t address, uint64_t length, uint8_t* out) const;
  // Calls visit(bytes, count) for each piece of the range in order, without a copy: bytes is
  // null for a piece never written, which reads 0xFF.
  void Visit(uint64_t address, uint64_t length,
             const std::function<void(const uint8_t* bytes, uint64_t count)>& visit) const;
  void Write(uint64_t address, uint64_t length, const uint8_t* bytes);
  // Filling whole pages with 0xFF frees them (their storage is kept for the next pages written).
  void Fill(uint64_t address, uint64_t length, uint8_t value);
  // Pages holding storage: what the memory costs.
  [[nodiscard]] size_t PageCount() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor::sim
