#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "net/Crc32.h"
#include "net/TargetEnvironment.h"

namespace qor {
namespace {

using Bytes = std::vector<uint8_t>;
using Entries = std::map<std::string, std::string>;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A block with the given bytes after the CRC field and the right CRC in front.
Bytes BlockWith(const std::string& body) {
  Bytes block(4 + body.size(), 0);
  std::copy(body.begin(), body.end(), block.begin() + 4);
  const uint32_t crc = Crc32(static_cast<int32_t>(body.size()), block.data() + 4);
  block[0] = static_cast<uint8_t>(crc >> 24);
  block[1] = static_cast<uint8_t>(crc >> 16);
  block[2] = static_cast<uint8_t>(crc >> 8);
  block[3] = static_cast<uint8_t>(crc);
  return block;
}

TEST(Crc32, IsTheStandardCrc) {
  const Bytes digits = Text("123456789");
  EXPECT_EQ(Crc32(9, digits.data()), 0xCBF43926u);
  EXPECT_EQ(Crc32(std::span<const uint8_t>(digits)), 0xCBF43926u);
  EXPECT_EQ(Crc32(0, digits.data()), 0u);
  EXPECT_EQ(Crc32(-5, digits.data()), 0u);
  EXPECT_EQ(Crc32(std::span<const uint8_t>()), 0u);
  const Bytes quick = Text("The quick brown fox jumps over the lazy dog");
  EXPECT_EQ(Crc32(static_cast<int32_t>(quick.size()), quick.data()), 0x414FA339u);
  const Bytes zeros(32, 0);
  EXPECT_EQ(Crc32(32, zeros.data()), 0x190A55ADu);
  const Bytes ones(32, 0xFF);
  EXPECT_EQ(Crc32(32, ones.data()), 0xFF6CAB0Bu);
}

TEST(Crc32, ExtendsPieceByPieceAndOverRunsWithoutHoldingThem) {
  const Bytes digits = Text("123456789");
  const uint32_t prefix = Crc32(std::span<const uint8_t>(digits));
  EXPECT_EQ(Crc32Extend(0, std::span<const uint8_t>(digits)), 0xCBF43926u);
  EXPECT_EQ(Crc32Extend(Crc32(4, digits.data()), std::span<const uint8_t>(digits).subspan(4)),
            0xCBF43926u);
  // Short runs go byte by byte, long ones through the powers of one step: both must agree with
  // the bytes themselves, for the blank value and for others.
  for (const uint8_t value : {uint8_t{0xFF}, uint8_t{0x00}, uint8_t{0x5A}}) {
    for (const uint64_t count : {0u, 1u, 255u, 256u, 257u, 4096u, 100001u}) {
      Bytes whole = digits;
      whole.insert(whole.end(), count, value);
      EXPECT_EQ(Crc32ExtendRepeated(prefix, value, count), Crc32(std::span<const uint8_t>(whole)))
          << int{value} << " x " << count;
    }
  }
  EXPECT_EQ(Crc32ExtendRepeated(0, 0xFF, 0), 0u);
}

// The folding path takes over from 64 bytes on; every length around its steps, and any
// starting CRC, must give what the definition gives bit by bit.
TEST(Crc32, LongInputsMatchTheBitByBitDefinition) {
  const auto bitwise = [](uint32_t crc, const Bytes& bytes) {
    uint32_t state = ~crc;
    for (const uint8_t byte : bytes) {
      state ^= byte;
      for (int bit = 0; bit < 8; ++bit) state = (state >> 1) ^ (0xEDB88320u & (0u - (state & 1u)));
    }
    return ~state;
  };
  Bytes data(5000);
  uint32_t seed = 12345;
  for (uint8_t& byte : data) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(seed >> 16);
  }
  for (const size_t length :
       {63u, 64u, 65u, 79u, 80u, 127u, 128u, 129u, 191u, 256u, 1024u, 4999u}) {
    const Bytes piece(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_EQ(Crc32(std::span<const uint8_t>(piece)), bitwise(0, piece)) << length;
    EXPECT_EQ(Crc32Extend(0xDEADBEEF, std::span<const uint8_t>(piece)), bitwise(0xDEADBEEF, piece))
        << length;
  }
}

TEST(BuildEnvironmentBlock, WritesSortedEntriesThenZeroFillUnderTheCrc) {
  TargetEnvironment environment;
  SetVariable(environment, "ipaddr", "127.0.0.9");
  SetVariable(environment, "a", "1");
  SetVariable(environment, "Z", "2");
  SetVariable(environment, "ip", "x");
  const DataBlock block = BuildEnvironmentBlock(environment, 0x00F00000, 48);
  EXPECT_EQ(block.address, 0x00F00000u);
  const std::string body =
      std::string("Z=2\0a=1\0ip=x\0ipaddr=127.0.0.9\0", 30) + std::string(14, '\0');
  EXPECT_EQ(block.bytes, BlockWith(body));
  EXPECT_EQ(environment.entries.size(), 4u);  // the table is not changed
}

TEST(BuildEnvironmentBlock, OrdersNamesByUnsignedBytes) {
  TargetEnvironment environment;
  SetVariable(environment, "\xE9t\xE9", "1");  // 0xE9 sorts after every ASCII letter
  SetVariable(environment, "z", "2");
  const DataBlock block = BuildEnvironmentBlock(environment, 0, 20);
  EXPECT_EQ(block.bytes, BlockWith(std::string("z=2\0\xE9t\xE9=1\0", 10) + std::string(6, '\0')));
}

TEST(BuildEnvironmentBlock, EmptyTableGivesCrcOfZeros) {
  const DataBlock block = BuildEnvironmentBlock(TargetEnvironment{}, 0x100, 0x1000);
  ASSERT_EQ(block.bytes.size(), 0x1000u);
  const Bytes zeros(0x1000 - 4, 0);
  const uint32_t crc = Crc32(static_cast<int32_t>(zeros.size()), zeros.data());
  EXPECT_EQ(block.bytes[0], crc >> 24);
  EXPECT_EQ(block.bytes[1], (crc >> 16) & 0xFF);
  EXPECT_EQ(block.bytes[2], (crc >> 8) & 0xFF);
  EXPECT_EQ(block.bytes[3], crc & 0xFF);
  EXPECT_EQ(Bytes(block.bytes.begin() + 4, block.bytes.end()), zeros);
}

TEST(BuildEnvironmentBlock, StopsAtTheFirstEntryThatDoesNotFit) {
  // Length 16 leaves 12 bytes: one-letter name, nine-byte value, '=' and zero fill it exactly.
  TargetEnvironment exact;
  SetVariable(exact, "a", "123456789");
  EXPECT_EQ(BuildEnvironmentBlock(exact, 0, 16).bytes, BlockWith(std::string("a=123456789\0", 12)));

  TargetEnvironment two;
  SetVariable(two, "ab", "12345678");
  SetVariable(two, "c", "1");
  EXPECT_EQ(BuildEnvironmentBlock(two, 0, 16).bytes, BlockWith(std::string("ab=12345678\0", 12)));

  // A first entry of 13 bytes leaves the block empty, although the later one would fit.
  TargetEnvironment tooLong;
  SetVariable(tooLong, "a", "1234567890");
  SetVariable(tooLong, "b", "1");
  EXPECT_EQ(BuildEnvironmentBlock(tooLong, 0, 16).bytes, BlockWith(std::string(12, '\0')));
}

TEST(EnvironmentBlock, ShortBlocksNeverCrash) {
  TargetEnvironment environment;
  SetVariable(environment, "a", "1");
  for (uint32_t length = 0; length < 4; ++length) {
    const DataBlock block = BuildEnvironmentBlock(environment, 0x10, length);
    EXPECT_EQ(block.bytes, Bytes(length, 0)) << length;
    ParseEnvironmentBlock(block.bytes.data(), block.bytes.size(), environment);
  }
  ParseEnvironmentBlock(nullptr, 0, environment);
  EXPECT_EQ(environment.entries, (Entries{{"a", "1"}}));
  // Exactly four bytes: a CRC over nothing (0) and no entries.
  const DataBlock four = BuildEnvironmentBlock(environment, 0, 4);
  EXPECT_EQ(four.bytes, Bytes(4, 0));
}

TEST(ParseEnvironmentBlock, RoundTripsABuiltBlock) {
  TargetEnvironment source;
  SetVariable(source, "bootdelay", "3");
  SetVariable(source, "bootargs", "console=ttyS0,115200 quiet");
  SetVariable(source, "\xFF\x01", "\x80");
  const DataBlock block = BuildEnvironmentBlock(source, 0x00F00000, 0x1000);
  TargetEnvironment copy;
  ParseEnvironmentBlock(block.bytes.data(), block.bytes.size(), copy);
  EXPECT_EQ(copy.entries, source.entries);
  EXPECT_EQ(BuildEnvironmentBlock(copy, 0x00F00000, 0x1000).bytes, block.bytes);
}

TEST(ParseEnvironmentBlock, MergesWithoutOverwriting) {
  TargetEnvironment environment;
  SetVariable(environment, "x", "2");
  SetVariable(environment, "kept", "yes");
  const Bytes block = BlockWith(std::string("x=1\0y=5\0y=6\0", 12) + std::string(8, '\0'));
  ParseEnvironmentBlock(block.data(), block.size(), environment);
  EXPECT_EQ(environment.entries, (Entries{{"kept", "yes"}, {"x", "2"}, {"y", "5"}}));
}

TEST(ParseEnvironmentBlock, IgnoresABlockWithAWrongCrc) {
  Bytes block = BlockWith(std::string("x=1\0", 4) + std::string(4, '\0'));
  block[3] ^= 1;
  TargetEnvironment environment;
  SetVariable(environment, "old", "1");
  ParseEnvironmentBlock(block.data(), block.size(), environment);
  EXPECT_EQ(environment.entries, (Entries{{"old", "1"}}));
}

TEST(ParseEnvironmentBlock, SplitsAtTheFirstEqualsSign) {
  const Bytes block = BlockWith(std::string("a=b=c\0=v\0e=\0", 12) + std::string(4, '\0'));
  TargetEnvironment environment;
  ParseEnvironmentBlock(block.data(), block.size(), environment);
  EXPECT_EQ(environment.entries, (Entries{{"", "v"}, {"a", "b=c"}, {"e", ""}}));
  // An empty value is written back the same way.
  const DataBlock rebuilt =
      BuildEnvironmentBlock(environment, 0, static_cast<uint32_t>(block.size()));
  EXPECT_EQ(rebuilt.bytes, BlockWith(std::string("=v\0a=b=c\0e=\0", 12) + std::string(4, '\0')));
}

TEST(ParseEnvironmentBlock, StopsAtTextWithoutEqualsSignAndAtTheEnd) {
  const Bytes stray = BlockWith(std::string("a=1\0junk\0b=2\0", 13));
  TargetEnvironment first;
  ParseEnvironmentBlock(stray.data(), stray.size(), first);
  EXPECT_EQ(first.entries, (Entries{{"a", "1"}}));

  // A value that runs to the end of the block without a zero byte ends there.
  const Bytes open = BlockWith(std::string("a=1\0b=open", 10));
  TargetEnvironment second;
  ParseEnvironmentBlock(open.data(), open.size(), second);
  EXPECT_EQ(second.entries, (Entries{{"a", "1"}, {"b", "open"}}));

  // A name that runs to the end without '=' is ignored.
  const Bytes unfinished = BlockWith(std::string("a=1\0name", 8));
  TargetEnvironment third;
  ParseEnvironmentBlock(unfinished.data(), unfinished.size(), third);
  EXPECT_EQ(third.entries, (Entries{{"a", "1"}}));
}

TEST(ParseEnvironmentBlock, TellsAValidBlockFromABlankAndADamagedOne) {
  using State = EnvironmentBlockState;
  Bytes wrongCrc = BlockWith(std::string("x=1\0", 4) + std::string(12, '\0'));
  wrongCrc[0] ^= 0x80;
  Bytes oneByteWritten(16, 0xFF);
  oneByteWritten[9] = 0xFE;
  Bytes blankButForCrc(16, 0xFF);
  blankButForCrc[3] = 0x00;
  struct Row {
    const char* what;
    Bytes block;
    State state;
    Entries added;
  };
  const std::vector<Row> rows = {
      {"a right CRC",
       BlockWith(std::string("x=1\0", 4) + std::string(12, '\0')),
       State::kValid,
       {{"x", "1"}}},
      {"a right CRC over nothing but text without '='", BlockWith("junk"), State::kValid, {}},
      {"erased flash", Bytes(16, 0xFF), State::kBlank, {}},
      {"erased flash of the whole staging size", Bytes(0x1000, 0xFF), State::kBlank, {}},
      {"a wrong CRC", wrongCrc, State::kDamaged, {}},
      {"all zero", Bytes(16, 0), State::kDamaged, {}},
      {"erased but for one byte of the entries", oneByteWritten, State::kDamaged, {}},
      {"erased but for one byte of the CRC", blankButForCrc, State::kDamaged, {}},
      {"three bytes of 0xFF", Bytes(3, 0xFF), State::kBlank, {}},
      {"three bytes, not all 0xFF", Bytes{0xFF, 0x00, 0xFF}, State::kDamaged, {}},
  };
  for (const Row& row : rows) {
    TargetEnvironment environment;
    SetVariable(environment, "kept", "yes");
    EXPECT_EQ(ParseEnvironmentBlock(row.block.data(), row.block.size(), environment), row.state)
        << row.what;
    Entries expected = row.added;
    expected.emplace("kept", "yes");
    EXPECT_EQ(environment.entries, expected) << row.what;
    EXPECT_TRUE(environment.blocks.empty()) << "the caller records where the block was";
  }
}

TEST(SetVariable, SetsReplacesAndDeletes) {
  TargetEnvironment environment;
  SetVariable(environment, "name", "");
  EXPECT_TRUE(environment.entries.empty());
  SetVariable(environment, "name", "1");
  SetVariable(environment, "Name", "2");
  SetVariable(environment, "name", "3");
  EXPECT_EQ(environment.entries, (Entries{{"Name", "2"}, {"name", "3"}}));
  SetVariable(environment, "name", "");
  EXPECT_EQ(environment.entries, (Entries{{"Name", "2"}}));
}

}  // namespace
}  // namespace qor
