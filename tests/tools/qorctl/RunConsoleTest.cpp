#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "net/Target.h"
#include "platform/TickCount.h"
#include "script/ScriptDisplay.h"
#include "station/UnitRecord.h"
#include "tests/common/TempFiles.h"
#include "tools/qorctl/RunConsole.h"
#include "tools/qorctl/StationConsole.h"

namespace qor::test {
namespace {

TEST(RunConsoleTest, WithoutATerminalEachChangeIsOneLineAndEachStageGetsItsOwn) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  cli::RunConsole console(out, false, {"02:00:00:00:00:01", "02:00:00:00:00:02"});
  ScriptDisplay& first = console.Display(0);
  // Two sections and a status within one step, as the runner does for directives that finish
  // at once.
  first.SetOperationText("Stage one");
  first.SetStatusText("");
  first.SetOperationText("Stage two");
  first.SetStatusText("Filling buffer");
  first.SetProgress(0, 2048);
  console.Refresh();
  first.SetStatusText("Filling buffer");  // no change, no line
  first.SetProgress(1024, 2048);          // the bar is for terminals only
  console.Refresh();
  console.Display(1).SetStatusText("Restarting target");
  console.Refresh();
  console.Finish(0, "done in 0.500 s");
  EXPECT_EQ(Contents(out),
            "02:00:00:00:00:01  Stage one\n"
            "02:00:00:00:00:01  Stage two: Filling buffer\n"
            "02:00:00:00:00:02  Restarting target\n"
            "02:00:00:00:00:01  done in 0.500 s\n");
  std::fclose(out);
}

// A refresh logs only the lines that changed, yet in the order of the targets, whichever
// changed first, and each change once.
TEST(RunConsoleTest, ChangesWithinOneRefreshAreLoggedInTheOrderOfTheTargets) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  cli::RunConsole console(out, false, {"A", "B", "C", "D"});
  console.Display(3).SetStatusText("four");
  console.Display(1).SetStatusText("two");
  console.Display(1).SetProgress(1, 2);
  console.Display(0).SetStatusText("one");
  console.Refresh();
  console.Refresh();  // nothing changed since
  // Flushed by its next stage, then changed again within the same refresh.
  console.Display(2).SetStatusText("three");
  console.Display(2).SetOperationText("Stage");
  console.Display(0).SetStatusText("one again");
  console.Display(2).SetStatusText("three again");
  console.Refresh(true);  // the log is written now, not 50 ms after the last write
  EXPECT_EQ(Contents(out),
            "A  one\n"
            "B  two\n"
            "D  four\n"
            "C  three\n"
            "A  one again\n"
            "C  Stage: three again\n");
  std::fclose(out);
}

TEST(RunConsoleTest, OnATerminalLinesAreRewrittenInPlaceWithAProgressBar) {
  std::FILE* out = std::tmpfile();
  std::FILE* errors = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ASSERT_NE(errors, nullptr);
  cli::RunConsole console(out, true, {"A", "B"});
  console.Refresh(true);
  console.Display(0).SetOperationText("Image");
  console.Display(0).SetStatusText("Sending 00010400");
  console.Display(0).SetProgress(1024, 2048);
  console.Refresh(true);
  console.Message(errors, "B: something failed");
  const std::string text = Contents(out);
  EXPECT_NE(text.find("\r\x1b[2KA  [##########..........]  50%  Image: Sending 00010400\n"),
            std::string::npos);
  EXPECT_NE(text.find("\x1b[2A"), std::string::npos) << "moves back up over its two lines";
  EXPECT_EQ(Contents(errors), "B: something failed\n");
  std::fclose(out);
  std::fclose(errors);
}

TEST(RunConsoleTest, TheProgressBarShowsTheRateAndTimeLeftOnceATransferIsUnderWay) {
  struct Row {
    uint32_t total;
    uint32_t done;
    uint32_t afterMs;
    std::string shown;  // after the bar, before the texts
  };
  const std::vector<Row> rows = {
      {4 << 20, 1 << 20, 500, "2.0 MiB/s  0:02 left  "},
      {1 << 20, 1024, 1000, "1.0 KiB/s  17:03 left  "},
      {1 << 20, 100, 1000, "100 B/s  2:54:45 left  "},
      {4 << 20, 1 << 20, 200, ""},  // too early to tell
      {4 << 20, 4 << 20, 500, ""},  // complete: only the write is left
  };
  for (const Row& row : rows) {
    FakeTickSource clock{5000};
    ScopedTickSource scoped{clock};
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    cli::RunConsole console(out, true, {"A"});
    console.Display(0).SetStatusText("Sending");
    console.Display(0).SetProgress(0, row.total);
    clock.Advance(row.afterMs);
    console.Display(0).SetProgress(row.done, row.total);
    console.Refresh(true);
    const std::string text = Contents(out);
    const size_t bar = text.rfind("%  ");
    ASSERT_NE(bar, std::string::npos) << text;
    EXPECT_EQ(text.substr(bar + 3), row.shown + "Sending\n") << row.done << " of " << row.total;
    std::fclose(out);
  }
}

TEST(RunConsoleTest, MoreTargetsThanATerminalHoldsAreShownOneLinePerChange) {
  // Live lines taller than the screen cannot be rewritten in place: the cursor stops at the top
  // and every redraw would scroll another screenful into the terminal's history.
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  std::vector<std::string> labels;
  for (int i = 0; i < 30; ++i) labels.push_back("T" + std::to_string(i));
  cli::RunConsole console(out, true, labels);  // a file has no size: taken as 24 rows
  console.Refresh(true);
  console.Display(3).SetStatusText("Sending 00010400");
  console.Display(3).SetProgress(1024, 2048);
  console.Refresh(true);
  console.Finish(3, "done in 0.100 s");
  EXPECT_EQ(Contents(out), "T3  Sending 00010400\nT3  done in 0.100 s\n");
  std::fclose(out);
}

// provision off a terminal: a line when a unit starts and one when it ends, notes apart, and
// with a JSON stream each end record there too; nothing of the units' progress in between.
TEST(RunConsoleTest, TheStationLogsEachUnitsStartAndEndOnALineOfItsOwn) {
  std::FILE* out = std::tmpfile();
  std::FILE* notes = std::tmpfile();
  std::FILE* json = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ASSERT_NE(notes, nullptr);
  ASSERT_NE(json, nullptr);
  cli::StationConsole console(out, notes, false, json);
  StartRecord start;
  start.mac = MacAddress{{0x02, 0, 0, 0, 0, 0x01}};
  start.ip = *ParseIpAddress("127.0.1.1");
  start.unitValues = UnitValueList{{"serial", "SN0001"}, {"hostname", "unit-1"}};
  ScriptDisplay& display = console.UnitStarted(start);
  display.SetOperationText("Firmware");
  display.SetProgress(1024, 2048);
  console.Note(
      "Passed over 02:00:00:00:00:09: product 0x1234:0x0002 is not among the script's "
      "*script entries");
  StartRecord kept = start;
  kept.mac.bytes[5] = 0x02;
  kept.ipBefore = kept.ip = *ParseIpAddress("127.0.0.10");
  kept.unitValues.reset();
  console.UnitStarted(kept);
  EndRecord end;
  end.mac = start.mac;
  end.outcome = UnitOutcome::kFailed;
  end.error = "Target refused the WriteRequest for 00010000 (status 3)";
  end.microseconds = 2'333'000;
  console.UnitEnded(end);
  end.mac = kept.mac;
  end.outcome = UnitOutcome::kCancelled;
  end.microseconds = 120'000;
  console.UnitEnded(end);
  EXPECT_EQ(Contents(out),
            "02:00:00:00:00:01  started at 127.0.1.1 (was Unassigned), serial=SN0001 "
            "hostname=unit-1\n"
            "02:00:00:00:00:02  started at 127.0.0.10\n"
            "02:00:00:00:00:01  failed after 2.333 s: Target refused the WriteRequest for "
            "00010000 (status 3)\n"
            "02:00:00:00:00:02  cancelled after 0.120 s\n");
  EXPECT_EQ(Contents(notes),
            "Passed over 02:00:00:00:00:09: product 0x1234:0x0002 is not among the script's "
            "*script entries\n");
  const std::string lines = Contents(json);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2);
  EXPECT_EQ(lines.rfind("{\"event\":\"end\"", 0), 0u) << lines;
  std::fclose(out);
  std::fclose(notes);
  std::fclose(json);
}

}  // namespace
}  // namespace qor::test
