#include <gtest/gtest.h>

#include <vector>

#include "platform/TickCount.h"
#include "tools/qor-sim/ReplyQueue.h"

namespace qor::sim {
namespace {

using Bytes = std::vector<uint8_t>;

SimReply Numbered(uint8_t number) {
  SimReply reply;
  reply.bytes = {number};
  return reply;
}

Bytes Numbers(const std::vector<SimReply>& replies) {
  Bytes numbers;
  for (const SimReply& reply : replies) numbers.push_back(reply.bytes.at(0));
  return numbers;
}

TEST(ReplyQueueTest, WithoutADelayEveryReplyIsDueAtOnceInOrder) {
  ReplyQueue queue(0);
  EXPECT_EQ(queue.WaitMs(5), -1);
  queue.Push(Numbered(1), 5);
  queue.Push(Numbered(2), 5);
  EXPECT_EQ(queue.WaitMs(5), 0);
  EXPECT_EQ(Numbers(queue.TakeDue(5)), (Bytes{1, 2}));
  EXPECT_EQ(queue.Size(), 0u);
  EXPECT_TRUE(queue.TakeDue(6).empty());
}

TEST(ReplyQueueTest, ADelayedReplyLeavesOnceMoreThanTheDelayHasPassed) {
  FakeTickSource clock(0xFFFFFF80);  // the tick count wraps while the replies wait
  ReplyQueue queue(150);
  queue.Push(Numbered(1), clock.Now());
  clock.Advance(100);
  queue.Push(Numbered(2), clock.Now());
  EXPECT_EQ(queue.WaitMs(clock.Now()), 51);

  clock.Advance(50);  // exactly the delay since the first
  EXPECT_TRUE(queue.TakeDue(clock.Now()).empty());
  EXPECT_EQ(queue.WaitMs(clock.Now()), 1);
  clock.Advance(1);
  EXPECT_EQ(Numbers(queue.TakeDue(clock.Now())), Bytes{1});
  EXPECT_EQ(queue.WaitMs(clock.Now()), 100);

  clock.Advance(100);
  EXPECT_EQ(Numbers(queue.TakeDue(clock.Now())), Bytes{2});
  EXPECT_EQ(queue.WaitMs(clock.Now()), -1);
}

// A late reply leaves at its own time, after replies queued behind it; the others keep their order.
TEST(ReplyQueueTest, ALateReplyLeavesAtItsOwnTimeAfterLaterOnes) {
  for (const uint32_t delay : {0u, 10u}) {
    SCOPED_TRACE(delay);
    ReplyQueue queue(delay);
    const auto late = [](uint8_t number, uint32_t extraMs) {
      SimReply reply = Numbered(number);
      reply.extraDelayMs = extraMs;
      return reply;
    };
    queue.Push(late(1, 100), 0);
    queue.Push(Numbered(2), 5);
    queue.Push(late(3, 20), 6);
    queue.Push(Numbered(4), 6);
    EXPECT_EQ(queue.Size(), 4u);
    EXPECT_EQ(Numbers(queue.TakeDue(7 + delay)), (Bytes{2, 4}));
    EXPECT_EQ(queue.WaitMs(7 + delay), 20);  // 3 leaves once 6 + delay + 20 has passed
    EXPECT_EQ(Numbers(queue.TakeDue(26 + delay)), Bytes{});
    EXPECT_EQ(Numbers(queue.TakeDue(27 + delay)), Bytes{3});
    EXPECT_EQ(queue.WaitMs(27 + delay), 74);
    EXPECT_EQ(Numbers(queue.TakeDue(101 + delay)), Bytes{1});
    EXPECT_EQ(queue.WaitMs(101 + delay), -1);
    EXPECT_EQ(queue.Size(), 0u);
  }
}

}  // namespace
}  // namespace qor::sim
