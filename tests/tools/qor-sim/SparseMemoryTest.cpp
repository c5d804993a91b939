#include <gtest/gtest.h>

#include <vector>

#include "net/Crc32.h"
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
  // Its CRC, read where the pages are, blank runs and all, from an arbitrary start.
  EXPECT_EQ(memory.Crc32(0x0000, 3 * 4096), Crc32(std::span<const uint8_t>(expected)));
  EXPECT_EQ(memory.Crc32(kSpace - 6, 6), Crc32(Bytes{0xFF, 0xFF, 1, 2, 3, 4}));

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

// A copy between memories of one pool shares whole pages; whichever writes next gets its own,
// so neither ever sees the other's later bytes. The same copy works byte by byte otherwise.
TEST(SparseMemoryTest, CopiesShareWholePagesUntilEitherSideWrites) {
  struct Row {
    const char* name;
    bool onePool;
    uint64_t from;
    uint64_t to;
  };
  for (const Row& row :
       {Row{"shared pages", true, 0, 0x100000}, Row{"another place in the page", true, 0, 0x100010},
        Row{"two pools", false, 0, 0x100000}}) {
    SCOPED_TRACE(row.name);
    const auto pool = MakePagePool();
    SparseMemory staging(pool);
    SparseMemory memory = row.onePool ? SparseMemory(pool) : SparseMemory();
    Bytes image(3 * 4096 + 100, 0x11);
    image[5000] = 0x22;
    staging.Write(row.from, image.size(), image.data());
    // A page of the image left blank, and a page in memory the copy must erase.
    staging.Fill(row.from + 4096, 4096, 0xFF);
    std::fill_n(image.begin() + 4096, 4096, 0xFF);
    const Bytes old(4096, 0x77);
    memory.Write(row.to + 4096, old.size(), old.data());

    memory.CopyFrom(staging, row.from, row.to, image.size());
    EXPECT_EQ(Read(memory, row.to, image.size()), image);
    EXPECT_EQ(Read(memory, row.to - 1, 1), Bytes(1, 0xFF)) << "nothing before the copy";

    // Later writes to either side stay on that side.
    const Bytes next(4096, 0x33);
    staging.Write(row.from, next.size(), next.data());
    EXPECT_EQ(Read(memory, row.to, image.size()), image);
    const uint8_t mark = 0x44;
    memory.Write(row.to + 10, 1, &mark);
    EXPECT_EQ(Read(staging, row.from + 10, 1), Bytes(1, 0x33));
    staging.Fill(row.from, image.size(), 0x00);
    Bytes marked = image;
    marked[10] = 0x44;
    EXPECT_EQ(Read(memory, row.to, image.size()), marked);
  }
}

}  // namespace
}  // namespace qor::sim
