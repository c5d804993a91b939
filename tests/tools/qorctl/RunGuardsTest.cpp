#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "exec/DirectiveRegistry.h"
#include "net/Target.h"
#include "script/Script.h"
#include "tests/common/TempFiles.h"
#include "tools/qorctl/RunGuards.h"

namespace qor::test {
namespace {

Target Board(uint8_t last, uint16_t product) {
  Target target;
  target.mac.bytes = {0x02, 0, 0, 0, 0, last};
  target.vendorId = 0x1234;
  target.productId = product;
  return target;
}

TEST(RunGuardsTest, OnlyTargetsOfTheScriptsProductsAreKeptAndTheOthersNamed) {
  TempFiles files;
  const Script forOne(files.Write("one.qor", "*script 0x1234 1 Flash\n*restart\n"),
                      DirectiveRegistry());
  const Script forAny(files.Write("any.qor", "*restart\n"), DirectiveRegistry());
  Target a = Board(1, 1);
  Target b = Board(2, 2);
  Target c = Board(3, 1);
  const std::vector<Target*> all{&a, &b, &c};

  std::FILE* errors = std::tmpfile();
  ASSERT_NE(errors, nullptr);
  size_t skipped = 0;
  EXPECT_EQ(cli::KeepServed(forOne, all, true, skipped, errors), (std::vector<Target*>{&a, &c}));
  EXPECT_EQ(skipped, 1u);
  EXPECT_EQ(Contents(errors),
            "Skipped 02:00:00:00:00:02: product 0x1234:0x0002 is not among the script's *script "
            "entries\n");
  std::fclose(errors);

  errors = std::tmpfile();
  skipped = 0;
  EXPECT_TRUE(cli::KeepServed(forOne, {&b}, false, skipped, errors).empty());
  EXPECT_EQ(Contents(errors),
            "Target 02:00:00:00:00:02 is product 0x1234:0x0002, which the script's *script "
            "entries do not name; --force runs it anyway\n");
  std::fclose(errors);

  // A script without *script entries runs anywhere.
  errors = std::tmpfile();
  skipped = 0;
  EXPECT_EQ(cli::KeepServed(forAny, all, true, skipped, errors), all);
  EXPECT_EQ(skipped, 0u);
  EXPECT_EQ(Contents(errors), "");
  std::fclose(errors);
}

TEST(RunGuardsTest, TheTallyCountsEveryOutcome) {
  std::vector<TargetRun> runs(6);
  runs[0].outcome = RunOutcome::kFinished;
  runs[1].outcome = RunOutcome::kFinished;
  runs[2].outcome = RunOutcome::kFailed;
  runs[3].outcome = RunOutcome::kTimedOut;
  runs[4].outcome = RunOutcome::kCancelled;
  runs[5].outcome = RunOutcome::kRefused;
  EXPECT_EQ(cli::Tally(runs, 2), "2 succeeded, 3 failed, 1 refused, 2 skipped");
  EXPECT_EQ(cli::Tally({}, 0), "0 succeeded, 0 failed, 0 refused, 0 skipped");
}

}  // namespace
}  // namespace qor::test
