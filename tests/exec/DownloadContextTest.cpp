#include <gtest/gtest.h>

#include "exec/DownloadContext.h"
#include "net/Crc32.h"
#include "platform/Exception.h"
#include "script/DataSection.h"
#include "tests/exec/ExecHarness.h"

namespace qor::test {
namespace {

constexpr size_t kDataHeaderLength = wire::DataRequest::kHeaderLength;

class DownloadContextTest : public ExecHarness {
 protected:
  // An image at 0x1000 with one non-blank byte at each given offset.
  static std::unique_ptr<DataSection> Image(uint32_t length, std::vector<uint32_t> marks) {
    auto image = std::make_unique<DataSection>(0x1000, length);
    for (uint32_t mark : marks) image->AddBlock({0x1000 + mark, {static_cast<uint8_t>(mark)}});
    return image;
  }
  // The image's bytes from offset first up to offset last.
  [[nodiscard]] std::vector<uint8_t> Bytes(uint32_t first, uint32_t last) const {
    return image->ExtractBlock(0x1000 + first, last - first).bytes;
  }
  void Run() {
    context = DownloadContext::Run(*image, std::move(context), *network, *target, display);
  }

  std::unique_ptr<DataSection> image;
  std::unique_ptr<Context> context;
};

TEST_F(DownloadContextTest, FillsSendsNonBlankChunksAndWritesWithTheImageCrc) {
  // Chunk 1 (offsets 1024..2047) is blank and must not travel; chunk 2 is 952 bytes long.
  image = Image(3000, {5, 2048 + 7});
  Run();
  ASSERT_EQ(SentCount(), 1u);
  EXPECT_EQ(SentType(0), kFillRequest);
  EXPECT_EQ(Sent(0).size(), 24u);
  EXPECT_EQ(SentField(0, 16), 0xFFFFFFFFu);
  EXPECT_EQ(SentField(0, 20), 3000u);
  EXPECT_EQ(display.Status(), "Filling buffer");
  EXPECT_EQ(target->pendingContext, context.get());
  EXPECT_EQ(target->pendingRequestId, SentId(0));

  ReplyToLast();
  Run();
  ASSERT_EQ(SentCount(), 2u);
  EXPECT_EQ(SentType(1), kDataRequest);
  EXPECT_EQ(SentField(1, 16), 0u);
  EXPECT_EQ(SentData(1), Bytes(0, 1024));
  EXPECT_EQ(display.Status(), "Sending 00001000");

  ReplyToLast();
  Run();
  ASSERT_EQ(SentCount(), 3u);
  EXPECT_EQ(SentField(2, 16), 2048u) << "offset within the staging buffer, not the address";
  EXPECT_EQ(Sent(2).size(), kDataHeaderLength + 952);
  EXPECT_EQ(SentData(2), Bytes(2048, 3000));
  EXPECT_EQ(display.Status(), "Sending 00001800");

  ReplyToLast();
  Run();
  ASSERT_EQ(SentCount(), 4u);
  EXPECT_EQ(SentType(3), kWriteRequest);
  EXPECT_EQ(Sent(3).size(), 28u);
  EXPECT_EQ(SentField(3, 16), 0x1000u);
  EXPECT_EQ(SentField(3, 20), 3000u);
  EXPECT_EQ(SentField(3, 24), Crc32(std::span<const uint8_t>(Bytes(0, 3000))));
  EXPECT_EQ(display.Status(), "Writing");
  EXPECT_EQ(display.done, 3000u);

  ReplyToLast();
  Run();
  EXPECT_EQ(context, nullptr);
  EXPECT_EQ(SentCount(), 4u);
  EXPECT_EQ(target->pendingContext, nullptr);
  EXPECT_EQ(target->pendingRequestId, 0u);
  // Every request carried a new id.
  EXPECT_EQ(SentId(0), 41u);
  EXPECT_EQ(SentId(1), 18467u);
  EXPECT_EQ(SentId(2), 6334u);
  EXPECT_EQ(SentId(3), 26500u);
}

TEST_F(DownloadContextTest, ResendsAChunkOnceJustAfterOneSecondUnderANewId) {
  image = Image(2048, {0, 1024});
  Run();
  ReplyToLast();
  Run();
  ASSERT_EQ(SentCount(), 2u);
  const uint32_t firstId = SentId(1);

  clock.Advance(1000);
  Run();
  EXPECT_EQ(SentCount(), 2u) << "no resend at exactly 1000 ms";

  clock.Advance(1);
  Run();
  ASSERT_EQ(SentCount(), 3u);
  EXPECT_EQ(SentType(2), kDataRequest);
  EXPECT_NE(SentId(2), firstId);
  EXPECT_EQ(target->pendingRequestId, SentId(2));
  EXPECT_EQ(SentField(2, 16), 0u);
  EXPECT_EQ(SentData(2), SentData(1));
  EXPECT_EQ(display.Status(), "Resending 00001000");

  Run();
  clock.Advance(1000);
  Run();
  EXPECT_EQ(SentCount(), 3u) << "the resend restarted the second";

  // The reply to the first send is stale: it must not acknowledge the chunk.
  Reply(firstId);
  Run();
  EXPECT_EQ(SentCount(), 3u);
  EXPECT_NE(context, nullptr);

  ReplyToLast();
  Run();
  ASSERT_EQ(SentCount(), 4u);
  EXPECT_EQ(SentField(3, 16), 1024u) << "next chunk, sent once";
  EXPECT_EQ(display.Status(), "Sending 00001400");
}

TEST_F(DownloadContextTest, NeverRepeatsTheFillOrTheWrite) {
  image = Image(16, {0});
  Run();
  clock.Advance(60000);
  Run();
  Run();
  EXPECT_EQ(SentCount(), 1u);
  ReplyToLast();
  Run();
  ReplyToLast();
  Run();
  ASSERT_EQ(SentType(-1), kWriteRequest);
  clock.Advance(60000);
  Run();
  Run();
  EXPECT_EQ(SentCount(), 3u);
  EXPECT_NE(context, nullptr);
}

TEST_F(DownloadContextTest, ShowsOnlyTheLastProgressOfATickAndOnlyOnceTheWriteIsSent) {
  image = Image(16, {0});
  Run();
  const uint32_t fillId = SentId(0);
  Progress(fillId, 0x11);  // before the write: never shown
  ReplyToLast();
  Run();
  Progress(SentId(-1), 0x22);
  ReplyToLast();
  Run();
  ASSERT_EQ(SentType(-1), kWriteRequest);
  EXPECT_EQ(display.Status(), "Writing");
  Run();
  EXPECT_EQ(display.Status(), "Writing");

  const uint32_t writeId = SentId(-1);
  Progress(writeId, 1);
  Progress(writeId, 2);
  Progress(writeId, 0xABC);
  const size_t before = display.statuses.size();
  Run();
  ASSERT_EQ(display.statuses.size(), before + 1);
  EXPECT_EQ(display.Status(), "Writing 00000ABC");
  Run();
  EXPECT_EQ(display.statuses.size(), before + 1) << "a value is shown once";

  Progress(writeId, 0xFFFFFFFF);
  Run();
  EXPECT_EQ(display.statuses.size(), before + 1) << "0xFFFFFFFF is never shown";

  for (const std::string& text : display.statuses) {
    EXPECT_NE(text, "Writing 00000011");
    EXPECT_NE(text, "Writing 00000022");
  }
  ReplyToLast();
  Run();
  EXPECT_EQ(context, nullptr);
}

TEST_F(DownloadContextTest, AFailureStatusFailsTheDirectiveNamingTheRequestFromAnyPhase) {
  const char* const texts[] = {
      "Target refused the FillRequest (status 7)",
      "Target refused the DataRequest for 00001000 (status 7)",
      "Target refused the WriteRequest for 00001000 (status 7)",
  };
  for (int failAt = 0; failAt < 3; ++failAt) {
    socket->sent.clear();
    context.reset();
    image = Image(16, {0});
    Run();
    for (int i = 0; i < failAt; ++i) {
      ReplyToLast();
      Run();
    }
    const size_t sent = SentCount();
    ReplyToLast(7);
    try {
      Run();
      ADD_FAILURE() << "no error after a refusal at request " << failAt;
    } catch (const Exception& error) {
      EXPECT_EQ(error.Message(), texts[failAt]);
    }
    EXPECT_EQ(SentCount(), sent) << "nothing goes out after a refusal at request " << failAt;
  }
}

TEST_F(DownloadContextTest, RefusesAnImageLargerThanTheStagingBufferBeforeSending) {
  target->stagingSize = 1024;
  image = Image(1025, {0});
  try {
    Run();
    FAIL() << "expected an Exception";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(),
              "QOR does not yet support multi-part downloads; download of 1025 bytes is too large "
              "for target's 1024-byte staging buffer");
  }
  EXPECT_EQ(SentCount(), 0u);
  EXPECT_EQ(target->pendingContext, nullptr);

  image = Image(1024, {0});
  Run();
  EXPECT_EQ(SentType(0), kFillRequest);
}

TEST_F(DownloadContextTest, BlankAndEmptyImagesSendOnlyFillAndWrite) {
  image = Image(5000, {});
  Run();
  ReplyToLast();
  Run();
  ASSERT_EQ(SentCount(), 2u);
  EXPECT_EQ(SentType(1), kWriteRequest);
  EXPECT_EQ(SentField(1, 24), Crc32(std::span<const uint8_t>(Bytes(0, 5000))));

  socket->sent.clear();
  context.reset();
  image = Image(0, {});
  Run();
  EXPECT_EQ(SentField(0, 20), 0u);
  ReplyToLast();
  Run();
  ASSERT_EQ(SentCount(), 2u);
  EXPECT_EQ(SentType(1), kWriteRequest);
  EXPECT_EQ(SentField(1, 20), 0u);
  EXPECT_EQ(SentField(1, 24), 0u);
}

TEST_F(DownloadContextTest, SendsA1025ByteImageAsAFullChunkAndOneByte) {
  image = Image(1025, {1, 1024});
  Run();
  ReplyToLast();
  Run();
  EXPECT_EQ(Sent(1).size(), kDataHeaderLength + 1024);
  ReplyToLast();
  Run();
  EXPECT_EQ(SentField(2, 16), 1024u);
  EXPECT_EQ(SentData(2), std::vector<uint8_t>{0});
  EXPECT_EQ(display.Status(), "Sending 00001400");
}

TEST_F(DownloadContextTest, IgnoresAReplyWhenNothingIsOutstanding) {
  image = Image(16, {0});
  Run();
  const uint32_t fillId = SentId(0);
  ReplyToLast();
  // A repeated answer to the fill reaches the context (the hook still holds its id) while
  // nothing is outstanding; it must not count as the answer to the chunk sent next.
  Reply(fillId);
  Run();
  ASSERT_EQ(SentType(-1), kDataRequest);
  Run();
  EXPECT_EQ(SentCount(), 2u);
  EXPECT_EQ(static_cast<DownloadContext*>(context.get())->CurrentPhase(),
            DownloadContext::kSending);
}

TEST_F(DownloadContextTest, DestroyingTheContextClearsTheHookAndDropsLateReplies) {
  image = Image(16, {0});
  Run();
  const uint32_t id = SentId(0);
  context.reset();
  EXPECT_EQ(target->pendingContext, nullptr);
  EXPECT_EQ(target->pendingRequestId, 0u);
  Reply(id);  // nobody is hooked: dropped, and nothing dangles
  EXPECT_EQ(target->pendingContext, nullptr);
}

}  // namespace
}  // namespace qor::test
