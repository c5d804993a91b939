#include <gtest/gtest.h>

#include "exec/LoadEnvContext.h"
#include "exec/SaveEnvContext.h"
#include "net/Crc32.h"
#include "net/TargetEnvironment.h"
#include "platform/Exception.h"
#include "tests/exec/ExecHarness.h"

namespace qor::test {
namespace {

constexpr uint32_t kEnvAddress = 0x3F000;
using Entries = std::map<std::string, std::string>;

class LoadSaveEnvContextTest : public ExecHarness {
 protected:
  void Load(uint32_t length) {
    context =
        LoadEnvContext::Run(kEnvAddress, length, std::move(context), *network, *target, display);
  }
  void Save(uint32_t length) {
    context =
        SaveEnvContext::Run(kEnvAddress, length, std::move(context), *network, *target, display);
  }
  static std::vector<uint8_t> Block(const TargetEnvironment& environment, uint32_t length) {
    return BuildEnvironmentBlock(environment, kEnvAddress, length).bytes;
  }
  static std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
    return {bytes.begin() + static_cast<long>(from),
            bytes.begin() + static_cast<long>(from + count)};
  }

  std::unique_ptr<Context> context;
};

TEST_F(LoadSaveEnvContextTest, LoadReadsInPiecesOfAtMost1024AndFollowsShortReplies) {
  TargetEnvironment onTarget;
  onTarget.entries = {{"ipaddr", "127.0.0.10"}, {"bootdelay", "3"}};
  const std::vector<uint8_t> block = Block(onTarget, 2048);

  Load(2048);
  ASSERT_EQ(SentCount(), 1u);
  EXPECT_EQ(SentType(0), kReadRequest);
  EXPECT_EQ(SentField(0, 16), kEnvAddress);
  EXPECT_EQ(SentField(0, 20), 1024u);

  ReplyToLast(0, Slice(block, 0, 512));  // half of what was asked
  Load(2048);
  ASSERT_EQ(SentCount(), 2u);
  EXPECT_EQ(SentField(1, 16), kEnvAddress + 512);
  EXPECT_EQ(SentField(1, 20), 1024u);

  ReplyToLast(0, Slice(block, 512, 1024));
  Load(2048);
  EXPECT_EQ(SentField(2, 16), kEnvAddress + 1536);
  EXPECT_EQ(SentField(2, 20), 512u);

  ReplyToLast(0, Slice(block, 1536, 512));
  Load(2048);
  EXPECT_EQ(context, nullptr);
  EXPECT_EQ(SentCount(), 3u);
  EXPECT_EQ(target->environment.entries, onTarget.entries);
  EXPECT_EQ(target->pendingContext, nullptr);
  EXPECT_TRUE(display.statuses.empty()) << "the environment directives show no texts";
}

TEST_F(LoadSaveEnvContextTest, LoadOf1025BytesAsksForOneMoreByte) {
  Load(1025);
  ReplyToLast(0, std::vector<uint8_t>(1024, 0));
  Load(1025);
  ASSERT_EQ(SentCount(), 2u);
  EXPECT_EQ(SentField(1, 16), kEnvAddress + 1024);
  EXPECT_EQ(SentField(1, 20), 1u);
}

TEST_F(LoadSaveEnvContextTest, LoadRepeatsAReadOnceJustAfterOneSecondUnderANewId) {
  Load(64);
  const uint32_t firstId = SentId(0);
  clock.Advance(1000);
  Load(64);
  EXPECT_EQ(SentCount(), 1u);
  clock.Advance(1);
  Load(64);
  ASSERT_EQ(SentCount(), 2u);
  EXPECT_NE(SentId(1), firstId);
  EXPECT_EQ(SentField(1, 16), kEnvAddress);
  EXPECT_EQ(SentField(1, 20), 64u);
  Load(64);
  EXPECT_EQ(SentCount(), 2u);

  // The answer to the first read comes late and is dropped; the second one counts.
  Reply(firstId, 0, std::vector<uint8_t>(64, 0xAA));
  Load(64);
  EXPECT_NE(context, nullptr);
  ReplyToLast(0, std::vector<uint8_t>(64, 0));
  Load(64);
  EXPECT_EQ(context, nullptr);
}

TEST_F(LoadSaveEnvContextTest, LoadAnsweredWithoutDataFailsNamingTheAddress) {
  TargetEnvironment onTarget;
  onTarget.entries = {{"a", "1"}};
  const std::vector<uint8_t> block = Block(onTarget, 2048);
  Load(2048);
  ReplyToLast(0, Slice(block, 0, 1024));
  Load(2048);
  ReplyToLast(0);  // status 0, no payload
  try {
    Load(2048);
    FAIL() << "expected an Exception";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Target returned no data reading the environment block at 0003F400");
  }
  EXPECT_EQ(context, nullptr);
  EXPECT_EQ(target->pendingContext, nullptr);
  EXPECT_TRUE(target->environment.entries.empty()) << "no half-read block is parsed";
  EXPECT_EQ(SentCount(), 2u);
}

TEST_F(LoadSaveEnvContextTest, LoadRejectsMoreBytesThanTheRestOfTheBlock) {
  Load(16);
  ReplyToLast(0, std::vector<uint8_t>(17, 0));
  try {
    Load(16);
    FAIL() << "expected an Exception";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Trying to add too much data to section");
  }
}

TEST_F(LoadSaveEnvContextTest, LoadMergesAndAFailureStatusLeavesTheTableAlone) {
  target->environment.entries = {{"x", "2"}};
  TargetEnvironment onTarget;
  onTarget.entries = {{"x", "1"}, {"y", "9"}};
  Load(64);
  ReplyToLast(0, Block(onTarget, 64));
  Load(64);
  EXPECT_EQ(target->environment.entries,
            (std::map<std::string, std::string>{{"x", "2"}, {"y", "9"}}));

  onTarget.entries = {{"z", "3"}};
  Load(64);
  ReplyToLast(5, Block(onTarget, 64));
  try {
    Load(64);
    FAIL() << "a refused read must fail the directive";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Target refused the ReadRequest for 0003F000 (status 5)");
  }
  EXPECT_EQ(target->environment.entries.count("z"), 0u);
  EXPECT_EQ(SentCount(), 2u);
}

TEST_F(LoadSaveEnvContextTest, SaveFailsOnARefusalInAnyPhaseAndSendsNothingAfter) {
  const char* const texts[] = {
      "Target refused the FillRequest (status 2)",
      "Target refused the DataRequest for 0003F000 (status 2)",
      "Target refused the WriteRequest for 0003F000 (status 2)",
  };
  for (int failAt = 0; failAt < 3; ++failAt) {
    socket->sent.clear();
    context.reset();
    Save(64);
    for (int i = 0; i < failAt; ++i) {
      ReplyToLast();
      Save(64);
    }
    const size_t sent = SentCount();
    ReplyToLast(2);
    try {
      Save(64);
      ADD_FAILURE() << "no error after a refusal at request " << failAt;
    } catch (const Exception& error) {
      EXPECT_EQ(error.Message(), texts[failAt]);
    }
    EXPECT_EQ(SentCount(), sent);
  }
}

TEST_F(LoadSaveEnvContextTest, RefusesZeroAndOversizedBlocksBeforeSending) {
  try {
    Load(0);
    FAIL();
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Environment block must be of nonzero length");
  }
  target->stagingSize = 0x10000;
  try {
    Save(0x10001);
    FAIL();
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(),
              "Environment block of 65537 bytes is too large for target's 65536-byte staging "
              "buffer");
  }
  // A length written as -1 in a script is 0xFFFFFFFF: it must not print as negative.
  try {
    Load(0xFFFFFFFF);
    FAIL();
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(),
              "Environment block of 4294967295 bytes is too large for target's 65536-byte "
              "staging buffer");
  }
  EXPECT_EQ(SentCount(), 0u);
}

TEST_F(LoadSaveEnvContextTest, SaveFillsSendsTheBlockAndWritesItWithItsCrc) {
  target->environment.entries = {{"ipaddr", "127.0.0.10"}, {"Z", "last"}};
  Save(2048);
  ASSERT_EQ(SentCount(), 1u);
  EXPECT_EQ(SentType(0), kFillRequest);
  EXPECT_EQ(SentField(0, 20), 2048u);
  // The block is built when the buffer is ready, from the table as it is then.
  target->environment.entries["added"] = "late";
  const std::vector<uint8_t> block = Block(target->environment, 2048);

  ReplyToLast();
  Save(2048);
  ASSERT_EQ(SentCount(), 2u);
  EXPECT_EQ(SentType(1), kDataRequest);
  EXPECT_EQ(SentField(1, 16), 0u);
  EXPECT_EQ(SentData(1), Slice(block, 0, 1024));

  ReplyToLast();
  Save(2048);
  // The second half is all zero fill: not 0xFF, so it is sent too.
  ASSERT_EQ(SentCount(), 3u);
  EXPECT_EQ(SentField(2, 16), 1024u);
  EXPECT_EQ(SentData(2), Slice(block, 1024, 1024));

  ReplyToLast();
  Save(2048);
  ASSERT_EQ(SentCount(), 4u);
  EXPECT_EQ(SentType(3), kWriteRequest);
  EXPECT_EQ(SentField(3, 16), kEnvAddress);
  EXPECT_EQ(SentField(3, 20), 2048u);
  EXPECT_EQ(SentField(3, 24), Crc32(2048, block.data()));
  EXPECT_EQ(display.done, 2048u);
  EXPECT_EQ(display.total, 2048u);

  Progress(SentId(3), 5);  // shows nothing
  ReplyToLast();
  Save(2048);
  EXPECT_EQ(context, nullptr);
  EXPECT_EQ(target->pendingContext, nullptr);
}

TEST_F(LoadSaveEnvContextTest, SaveRepeatsOnlyDataChunksAndEachOnceAfterOneSecond) {
  Save(64);
  clock.Advance(5000);
  Save(64);
  EXPECT_EQ(SentCount(), 1u) << "the fill is never repeated";
  ReplyToLast();
  Save(64);
  ASSERT_EQ(SentCount(), 2u);
  const uint32_t chunkId = SentId(1);
  clock.Advance(1000);
  Save(64);
  EXPECT_EQ(SentCount(), 2u);
  clock.Advance(1);
  Save(64);
  ASSERT_EQ(SentCount(), 3u);
  EXPECT_EQ(SentType(2), kDataRequest);
  EXPECT_NE(SentId(2), chunkId);
  EXPECT_EQ(SentData(2), SentData(1));
  Save(64);
  EXPECT_EQ(SentCount(), 3u);
  ReplyToLast();
  Save(64);
  ASSERT_EQ(SentType(-1), kWriteRequest);
  clock.Advance(5000);
  Save(64);
  EXPECT_EQ(SentCount(), 4u) << "the write is never repeated";
}

TEST_F(LoadSaveEnvContextTest, SaveRefusesATableThatDoesNotFitBeforeSendingAnything) {
  struct Row {
    uint32_t length;
    Entries table;
    const char* text;  // empty: it fits
  };
  const Row rows[] = {
      // Even an empty table needs its CRC: a block too short for it would be written as zeros.
      {1, {}, "Environment variables need 4 bytes; the block at 0003F000 holds 1"},
      {3, {}, "Environment variables need 4 bytes; the block at 0003F000 holds 3"},
      {4, {}, ""},
      {16, {{"a", "123456789"}}, ""},  // to the last byte
      {16,
       {{"a", "1234567890"}},
       "Environment variables need 17 bytes; the block at 0003F000 holds 16"},
      // The entry that does not fit is not the last: the shorter one after it would fit.
      {24,
       {{"a", "1"}, {"b", std::string(14, 'v')}, {"c", "3"}},
       "Environment variables need 29 bytes; the block at 0003F000 holds 24"},
      {4096,
       {{"big", std::string(4991, 'v')}},
       "Environment variables need 5000 bytes; the block at 0003F000 holds 4096"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.length);
    socket->sent.clear();
    context.reset();
    target->environment.entries = row.table;
    if (*row.text == '\0') {
      Save(row.length);
      EXPECT_EQ(SentType(0), kFillRequest);
      continue;
    }
    try {
      Save(row.length);
      ADD_FAILURE() << "a table that does not fit was not refused";
    } catch (const Exception& error) {
      EXPECT_EQ(error.Message(), row.text);
    }
    EXPECT_EQ(SentCount(), 0u);
    EXPECT_EQ(target->pendingContext, nullptr);
  }
}

TEST_F(LoadSaveEnvContextTest, ATableThatGrewPastTheBlockWhileTheBufferFilledIsNeverSent) {
  target->environment.entries = {{"a", "1"}};
  Save(16);
  ASSERT_EQ(SentCount(), 1u);
  target->environment.entries["b"] = "12345678";
  ReplyToLast();
  try {
    Save(16);
    FAIL() << "the grown table was sent";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(),
              "Environment variables need 19 bytes; the block at 0003F000 holds 16");
  }
  EXPECT_EQ(SentCount(), 1u) << "only the staging buffer was touched";
}

TEST_F(LoadSaveEnvContextTest, LoadAndSaveRecordHowTheBlockWasLastFound) {
  TargetEnvironment onTarget;
  onTarget.entries = {{"x", "1"}};
  std::vector<uint8_t> damaged = Block(onTarget, 64);
  damaged[2] ^= 0x40;
  struct Row {
    const char* what;
    std::vector<uint8_t> block;
    EnvironmentBlockState state;
  };
  const Row rows[] = {
      {"valid", Block(onTarget, 64), EnvironmentBlockState::kValid},
      {"blank", std::vector<uint8_t>(64, 0xFF), EnvironmentBlockState::kBlank},
      {"damaged", damaged, EnvironmentBlockState::kDamaged},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Load(64);
    ReplyToLast(0, row.block);
    Load(64);
    ASSERT_EQ(context, nullptr);
    EXPECT_EQ(target->environment.blocks,
              (std::map<uint32_t, EnvironmentBlockState>{{kEnvAddress, row.state}}));
  }
  EXPECT_EQ(target->environment.entries, onTarget.entries) << "only the valid block added";
  // Written by this program and acknowledged: the block is valid on the target now.
  Save(64);
  for (int i = 0; i < 3; ++i) {
    ReplyToLast();
    Save(64);
  }
  EXPECT_EQ(context, nullptr);
  EXPECT_EQ(target->environment.blocks.at(kEnvAddress), EnvironmentBlockState::kValid);
}

}  // namespace
}  // namespace qor::test
