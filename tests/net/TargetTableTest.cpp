#include <gtest/gtest.h>

#include <memory>

#include "net/TargetTable.h"
#include "tests/net/NetTestSupport.h"

namespace qor {
namespace {

Target Make(uint16_t number) {
  Target target;
  target.mac =
      MacAddress{{0, 0, 0, 0, static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number)}};
  target.ipAddress = 0x7F000000u | number;
  return target;
}

TEST(TargetTableTest, TargetsStayWhereTheyAreWhileTheTableGrows) {
  TargetTable table;
  std::vector<Target*> inserted;
  // Descending MACs, so arrival order and MAC order differ.
  for (uint16_t number = 2000; number > 0; --number) inserted.push_back(table.Insert(Make(number)));
  ASSERT_EQ(table.Size(), 2000u);
  for (Target* target : inserted) EXPECT_EQ(table.Find(target->mac), target);
  EXPECT_EQ(inserted.front()->ipAddress, 0x7F0007D0u);
  EXPECT_EQ(table.InArrivalOrder(), inserted);
  const std::vector<Target*> byMac = table.Targets();
  ASSERT_EQ(byMac.size(), 2000u);
  for (size_t i = 1; i < byMac.size(); ++i) EXPECT_LT(byMac[i - 1]->mac, byMac[i]->mac);
  EXPECT_EQ(table.Find(MacAddress{{9, 9, 9, 9, 9, 9}}), nullptr);
}

TEST(TargetTableTest, InsertingAnExistingMacKeepsTheFirstTarget) {
  TargetTable table;
  Target& first = *table.Insert(Make(1));
  Target again = Make(1);
  again.ipAddress = 0x7F0000FF;
  EXPECT_EQ(table.Insert(again), &first);
  EXPECT_EQ(first.ipAddress, 0x7F000001u);
  EXPECT_EQ(table.InArrivalOrder().size(), 1u);
}

TEST(TargetTableTest, AStoredTargetNeverInheritsAReplyHook) {
  TargetTable table;
  test::RecordingContext context;
  Target copy = Make(1);
  copy.pendingContext = &context;
  copy.pendingRequestId = 41;
  Target& stored = *table.Insert(copy);
  EXPECT_EQ(stored.pendingContext, nullptr);
  EXPECT_EQ(stored.pendingRequestId, 0u);
}

TEST(TargetTableTest, AFullTableTurnsNewTargetsAwayAndCountsThemUntilCleared) {
  TargetTable table;
  for (size_t i = 0; i < TargetTable::kMaxTargets; ++i) {
    Target target;
    target.mac = MacAddress{{2, 0, 0, static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 8),
                             static_cast<uint8_t>(i)}};
    ASSERT_NE(table.Insert(target), nullptr);
  }
  EXPECT_EQ(table.Dropped(), 0u);
  EXPECT_EQ(table.Insert(Make(1)), nullptr);
  EXPECT_EQ(table.Insert(Make(2)), nullptr);
  EXPECT_EQ(table.Size(), TargetTable::kMaxTargets);
  EXPECT_EQ(table.Dropped(), 2u);
  // A target already in the table is still found, not dropped.
  Target known;
  known.mac = MacAddress{{2, 0, 0, 0, 0, 7}};
  EXPECT_NE(table.Insert(known), nullptr);
  EXPECT_EQ(table.Dropped(), 2u);
  table.Clear();
  EXPECT_EQ(table.Dropped(), 0u);
  EXPECT_NE(table.Insert(Make(1)), nullptr);
}

// AddressSanitizer also checks that the context never touches the destroyed target afterwards.
TEST(TargetTableTest, ClearUnhooksContextsThatStillWait) {
  TargetTable table;
  auto context = std::make_unique<test::RecordingContext>();
  Target& target = *table.Insert(Make(1));
  context->Hook(target, 41);
  EXPECT_EQ(target.pendingContext, context.get());

  table.Clear();
  EXPECT_EQ(table.Size(), 0u);
  EXPECT_TRUE(table.InArrivalOrder().empty());
  EXPECT_TRUE(table.Targets().empty());

  // The same target answers again; a new context waits on it while the old one goes away.
  Target& again = *table.Insert(Make(1));
  test::RecordingContext waiting;
  waiting.Hook(again, 42);
  context.reset();
  EXPECT_EQ(again.pendingContext, &waiting);
  EXPECT_EQ(again.pendingRequestId, 42u);
}

}  // namespace
}  // namespace qor
