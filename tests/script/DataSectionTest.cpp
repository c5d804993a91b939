#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "net/Crc32.h"
#include "platform/Exception.h"
#include "script/DataSection.h"
#include "tests/common/TempFiles.h"

namespace qor {
namespace {

using Bytes = std::vector<uint8_t>;

std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& error) {
    return error.Message();
  }
  return "";
}

// Every byte of the area, as the download would see it.
Bytes SectionBytes(const DataSection& section) {
  if (section.Length() == 0) return {};
  return section.ExtractBlock(section.Base(), section.Length()).bytes;
}

TEST(DataSection, StartsBlankAndTakesBlocksWithinItsBounds) {
  DataSection section(0x1000, 16);
  EXPECT_EQ(section.Base(), 0x1000u);
  EXPECT_EQ(section.Length(), 16u);
  EXPECT_EQ(SectionBytes(section), Bytes(16, 0xFF));

  section.AddBlock({0x1000, {1, 2, 3, 4}});
  Bytes expected(16, 0xFF);
  expected[0] = 1, expected[1] = 2, expected[2] = 3, expected[3] = 4;
  EXPECT_EQ(SectionBytes(section), expected);

  section.AddBlock({0x100E, {7, 8}});  // ends exactly at base plus length
  expected[14] = 7, expected[15] = 8;
  EXPECT_EQ(SectionBytes(section), expected);

  section.AddBlock({0x1001, {9}});  // a later block overwrites
  expected[1] = 9;
  EXPECT_EQ(SectionBytes(section), expected);

  EXPECT_EQ(ErrorOf([&] {
              section.AddBlock({0x100E, {1, 2, 3}});
            }),
            "Trying to add too much data to section");
  EXPECT_EQ(ErrorOf([&] {
              section.AddBlock({0x0FFF, {1}});
            }),
            "Trying to add too much data to section");
  EXPECT_EQ(SectionBytes(section), expected);  // unchanged by the failures

  section.AddBlock({0x1010, {}});  // empty block at the end: nothing changes
  EXPECT_EQ(SectionBytes(section), expected);
}

TEST(DataSection, BoundsDoNotWrapAround32Bits) {
  DataSection low(0x10, 0x100);
  // 0xFFFFFFFF + 2 wraps to 1 in 32 bits, which would pass a 32-bit check and write far away.
  EXPECT_EQ(ErrorOf([&] {
              low.AddBlock({0xFFFFFFFF, {1, 2}});
            }),
            "Trying to add too much data to section");
  EXPECT_EQ(SectionBytes(low), Bytes(0x100, 0xFF));

  DataSection high(0xFFFFFFF0, 0x10);  // ends exactly at 2^32
  high.AddBlock({0xFFFFFFFE, {5, 6}});
  EXPECT_EQ(high.ExtractBlock(0xFFFFFFFE, 2).bytes, (Bytes{5, 6}));
  const DataBlock last = high.ExtractBlock(0xFFFFFFFF, 1024);
  EXPECT_EQ(last.address, 0xFFFFFFFFu);
  EXPECT_EQ(last.bytes, Bytes{6});
}

TEST(DataSection, ExtractBlockStaysInside) {
  DataSection section(0x2000, 2050);
  section.AddBlock({0x2000 + 2047, {1, 2, 3}});
  const DataBlock first = section.ExtractBlock(0x2000, 1024);
  EXPECT_EQ(first.address, 0x2000u);
  EXPECT_EQ(first.bytes, Bytes(1024, 0xFF));
  const DataBlock tail = section.ExtractBlock(0x2000 + 2047, 1024);
  EXPECT_EQ(tail.address, 0x2000u + 2047);
  EXPECT_EQ(tail.bytes, (Bytes{1, 2, 3}));
  EXPECT_EQ(section.ExtractBlock(0x2000 + 2000, 10).bytes.size(), 10u);

  EXPECT_EQ(ErrorOf([&] { (void)section.ExtractBlock(0x2000 + 2050, 1); }),
            "Trying to extract data from outside section bounds");
  EXPECT_EQ(ErrorOf([&] { (void)section.ExtractBlock(0x1FFF, 1); }),
            "Trying to extract data from outside section bounds");

  DataSection empty(0x2000, 0);
  EXPECT_EQ(empty.StoredBytes(), 0u);
  EXPECT_EQ(ErrorOf([&] { (void)empty.ExtractBlock(0x2000, 1); }),
            "Trying to extract data from outside section bounds");
  EXPECT_EQ(ErrorOf([&] {
              empty.AddBlock({0x2000, {1}});
            }),
            "Trying to add too much data to section");
  empty.AddBlock({0x2000, {}});
}

TEST(DataSection, HoldsOnlyThePagesThatDataWasPutInto) {
  // 2 GiB of area with two records in it: two pages, not gigabytes.
  DataSection huge(0x10000000, 0x80000000);
  EXPECT_EQ(huge.StoredBytes(), 0u);
  huge.AddBlock({0x10000000 + 5000, {1, 2}});
  huge.AddBlock({0x10000000 + 5100, {3}});  // the same page
  huge.AddBlock({0x8FFFFFFF, {4}});         // the last byte
  EXPECT_EQ(huge.StoredBytes(), 2u * DataSection::kPageSize);
  // Blank bytes where nothing was put change nothing and take no page.
  huge.AddBlock({0x20000000, Bytes(3000, 0xFF)});
  EXPECT_EQ(huge.StoredBytes(), 2u * DataSection::kPageSize);

  // A block across a page boundary reads back whole, between blank neighbours.
  DataSection section(0x1000, 4096);
  Bytes across(300);
  for (size_t i = 0; i < across.size(); ++i) across[i] = static_cast<uint8_t>(i);
  section.AddBlock({0x1000 + 900, across});
  EXPECT_EQ(section.StoredBytes(), 2u * DataSection::kPageSize);
  Bytes expected(4096, 0xFF);
  std::copy(across.begin(), across.end(), expected.begin() + 900);
  EXPECT_EQ(SectionBytes(section), expected);
  EXPECT_EQ(section.ExtractBlock(0x1000 + 1000, 1024).bytes,
            Bytes(expected.begin() + 1000, expected.begin() + 2024));
}

TEST(DataSection, FindsTheChunksThatHoldData) {
  DataSection section(0x4000, 5 * 1024 + 10);
  EXPECT_EQ(section.NonBlankChunkCount(), 0u);
  EXPECT_EQ(section.NextNonBlankChunk(0), section.Length());
  section.AddBlock({0x4000 + 1024 + 7, {0}});
  section.AddBlock({0x4000 + 3 * 1024, {0xFF, 0xFF, 1}});
  section.AddBlock({0x4000 + 5 * 1024 + 9, {0x7F}});  // the last, short chunk
  // A page that holds only 0xFF is as blank as one that was never written.
  section.AddBlock({0x4000 + 1024 + 7, {0xFF}});
  EXPECT_EQ(section.NonBlankChunkCount(), 2u);
  EXPECT_EQ(section.NextNonBlankChunk(0), 3u * 1024);
  EXPECT_EQ(section.NextNonBlankChunk(3 * 1024), 3u * 1024);
  EXPECT_EQ(section.NextNonBlankChunk(4 * 1024), 5u * 1024);
  EXPECT_EQ(section.NextNonBlankChunk(5 * 1024 + 1), section.Length());
  EXPECT_EQ(section.NextNonBlankChunk(section.Length()), section.Length());
}

// The CRC is built from the pages and the blank runs between them; it must be the CRC of the
// bytes a download would send, for gaps short and long and an end that is not a whole page.
TEST(DataSection, TheImageCrcIsTheCrcOfEveryByte) {
  struct Case {
    uint32_t length;
    std::vector<DataBlock> blocks;
  };
  const std::vector<Case> cases = {
      {0, {}},
      {1, {}},
      {1000, {{0x100, {0}}}},
      {70000, {{0x100 + 3, {1, 2, 3}}, {0x100 + 1500, {4}}, {0x100 + 69999, {5}}}},
      {1 << 20, {{0x100 + 300000, Bytes(2000, 0x11)}, {0x100 + 900000, {0}}}},
  };
  for (const Case& c : cases) {
    DataSection section(0x100, c.length);
    for (const DataBlock& block : c.blocks) section.AddBlock(block);
    const Bytes all = SectionBytes(section);
    EXPECT_EQ(section.ImageCrc(), Crc32(std::span<const uint8_t>(all))) << c.length;

    // Taken ahead in pieces, as a download does, with pieces ending mid-page, going back, and
    // beyond the end: the same CRC.
    DataSection ahead(0x100, c.length);
    for (const DataBlock& block : c.blocks) ahead.AddBlock(block);
    for (const uint32_t offset : {1u, 1000u, 1500u, 1024u, 3000u, 1u << 20, 0xFFFFFFFFu}) {
      ahead.PrepareCrc(offset);
    }
    EXPECT_EQ(ahead.ImageCrc(), Crc32(std::span<const uint8_t>(all))) << c.length;
    if (c.length == 0) continue;
    DataSection begun(0x100, c.length);
    begun.PrepareCrc(c.length / 2);
    begun.AddBlock({0x100, {0x17}});  // a change after a CRC was begun starts it over
    const Bytes withChange = SectionBytes(begun);
    EXPECT_EQ(begun.ImageCrc(), Crc32(std::span<const uint8_t>(withChange))) << c.length;
    // The CRC is kept once taken; a change must not leave the old one standing.
    section.AddBlock({0x100 + c.length - 1, {0x42}});
    const Bytes changed = SectionBytes(section);
    EXPECT_EQ(section.ImageCrc(), Crc32(std::span<const uint8_t>(changed))) << c.length;
  }
}

TEST(HexDigitValue, AcceptsBothCases) {
  EXPECT_EQ(HexDigitValue('0'), 0);
  EXPECT_EQ(HexDigitValue('9'), 9);
  EXPECT_EQ(HexDigitValue('A'), 10);
  EXPECT_EQ(HexDigitValue('f'), 15);
  for (const char bad : {'G', 'g', ' ', '\0', 'x', '/', ':', '@', '`'}) {
    EXPECT_EQ(ErrorOf([&] { (void)HexDigitValue(bad); }), "Invalid character in S-record")
        << static_cast<int>(bad);
  }
}

TEST(ParseSRecord, ReadsS3DataRecords) {
  const auto block = ParseSRecord("S30900001000010203049A");
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(block->address, 0x1000u);
  EXPECT_EQ(block->bytes, (Bytes{1, 2, 3, 4}));

  // Checksum and trailing text are never read; lower-case digits are fine.
  const auto lower = ParseSRecord("S307fedcba98abcdXX trailing");
  ASSERT_TRUE(lower.has_value());
  EXPECT_EQ(lower->address, 0xFEDCBA98u);
  EXPECT_EQ(lower->bytes, (Bytes{0xAB, 0xCD}));

  // Count 5: an address and a checksum, no data.
  const auto bare = ParseSRecord("S30500001000EA");
  ASSERT_TRUE(bare.has_value());
  EXPECT_TRUE(bare->bytes.empty());
}

TEST(ParseSRecord, IgnoresOtherLines) {
  for (const char* other :
       {"S1130000285F245F2212226A000424290008237C2A", "S9030000FC", "S70500000000FA",
        "S00F000068656C6C6F202020202000003C", "s30900001000010203049A", "S30900001",
        "hello world, not a record", "S", ""}) {
    EXPECT_FALSE(ParseSRecord(other).has_value()) << other;
  }
}

TEST(ParseSRecord, RejectsBadRecords) {
  // A G among the data digits; a count that promises more than the line holds; a short address.
  for (const char* bad : {"S3090000100001G203049A", "S30A00001000010203", "S309000010",
                          "S3G900001000010203049A", "S309000Z1000010203049A"}) {
    EXPECT_EQ(ErrorOf([&] { (void)ParseSRecord(bad); }), "Invalid character in S-record") << bad;
  }
  // A count below 5 cannot even cover the address and checksum: refused, never a negative size.
  for (const char* bad : {"S30400001000FF", "S30000001000", "S30100001000FF0102"}) {
    EXPECT_EQ(ErrorOf([&] { (void)ParseSRecord(bad); }), "Invalid character in S-record") << bad;
  }
}

TEST(LoadBinaryFile, FillsFromTheStartAndChecksTheSize) {
  test::TempFiles files;
  const std::string exact = files.Write("exact.bin", std::string("\x01\x02\x03\x04", 4));
  const std::string longer = files.Write("longer.bin", std::string("\x01\x02\x03\x04\x05", 5));
  const std::string empty = files.Write("empty.bin", "");

  DataSection section(0x100, 4);
  LoadBinaryFile(section, exact);
  EXPECT_EQ(SectionBytes(section), (Bytes{1, 2, 3, 4}));

  DataSection wide(0x100, 6);
  LoadBinaryFile(wide, exact);
  EXPECT_EQ(SectionBytes(wide), (Bytes{1, 2, 3, 4, 0xFF, 0xFF}));

  DataSection small(0x100, 4);
  EXPECT_EQ(ErrorOf([&] { LoadBinaryFile(small, longer); }),
            "Binary file \"" + longer + "\" is too large for download area");
  EXPECT_EQ(SectionBytes(small), Bytes(4, 0xFF));

  DataSection blank(0x100, 4);
  LoadBinaryFile(blank, empty);
  EXPECT_EQ(SectionBytes(blank), Bytes(4, 0xFF));
  DataSection none(0x100, 0);
  LoadBinaryFile(none, empty);

  const std::string missing = files.Folder() + "/missing.bin";
  EXPECT_EQ(ErrorOf([&] { LoadBinaryFile(section, missing); }), "Cannot open \"" + missing + "\"");
  EXPECT_EQ(ErrorOf([&] { LoadBinaryFile(section, files.Folder()); }),
            "Cannot open \"" + files.Folder() + "\"");
}

}  // namespace
}  // namespace qor
