#include <gtest/gtest.h>

#include <vector>

#include "tools/qor-sim/SparseMemory.h"

namespace qor::sim {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint64_t kSpace = 0x100000000ULL;

Bytes Read(const SparseMemory& memory, uint64_t address, uint64_t length) {
  Bytes bytes(length, 0x00);
  memory.Read(address, length, bytes.data());
  return bytes;
}

TEST(SparseMemoryTest, OnlyWrittenPagesTakeStorageAndEverythingElseReadsErased) {
  SparseMemory memory;
  // Erasing all 4 GiB costs nothing, and reading any of it gives 0xFF.
  memory.Fill(0, kSpace, 0xFF);
  EXPECT_EQ(memory.PageCount(), 0u);
  EXPECT_EQ(Read(memory, kSpace - 3, 3), Bytes(3, 0xFF));

  // The last bytes of the address space, and a write across a page boundary.
  const Bytes top = {1, 2, 3, 4};
  memory.Write(kSpace - 4, top.size(), top.data());
  const Bytes across = {5, 6, 7, 8};
  memory.Write(0x1FFE, across.size(), across.data());
  EXPECT_EQ(memory.PageCount(), 3u);
  EXPECT_EQ(Read(memory, kSpace - 6, 6), (Bytes{0xFF, 0xFF, 1, 2, 3, 4}));
  EXPECT_EQ(Read(memory, 0x1FFD, 6), (Bytes{0xFF, 5, 6, 7, 8, 0xFF}));
  // A read over never-written pages on both sides of a written one.
  Bytes expected(3 * 4096, 0xFF);
  std::copy(across.begin(), across.end(), expected.begin() + 4096 + 0xFFE);
  EXPECT_EQ(Read(memory, 0x0000, 3 * 4096), expected);

  // Filling part of a page keeps it; erasing whole pages frees them.
  memory.Fill(0x1FFF, 2, 0x00);
  EXPECT_EQ(Read(memory, 0x1FFE, 4), (Bytes{5, 0, 0, 8}));
  memory.Fill(0x1000, 0x2000, 0xFF);
  EXPECT_EQ(memory.PageCount(), 1u);
  EXPECT_EQ(Read(memory, 0x1FFE, 4), Bytes(4, 0xFF));
  EXPECT_EQ(Read(memory, kSpace - 4, 4), top);

  // A page given back is used again, erased: nothing of what it held shows elsewhere.
  const Bytes full(0x1000, 0xAB);
  memory.Write(0x10000, full.size(), full.data());
  memory.Fill(0x10000, 0x1000, 0xFF);
  EXPECT_EQ(memory.PageCount(), 1u);
  memory.Write(0x20010, 1, full.data());
  EXPECT_EQ(memory.PageCount(), 2u);
  Bytes reused(0x1000, 0xFF);
  reused[0x10] = 0xAB;
  EXPECT_EQ(Read(memory, 0x20000, 0x1000), reused);
  EXPECT_EQ(Read(memory, 0x10000, 0x1000), Bytes(0x1000, 0xFF));
}

}  // namespace
}  // namespace qor::sim
