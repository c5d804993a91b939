// Station records read and summed up: which lines count, which are left out and why, and the
// figures a line manager reads.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/Exception.h"
#include "station/RecordReader.h"
#include "station/RecordSummary.h"
#include "station/RecordTime.h"
#include "tests/common/TempFiles.h"

namespace qor {
namespace {

// An end line of a run of mac from minute start to minute end of 2026-12-09 10:00 UTC, or with
// seconds instead of minutes when given as "m:ss".
std::string At(const std::string& clock) {
  const size_t colon = clock.find(':');
  const std::string minutes = colon == std::string::npos ? clock : clock.substr(0, colon);
  const std::string seconds = colon == std::string::npos ? "00" : clock.substr(colon + 1);
  const int total = std::stoi(minutes);
  char text[40];
  std::snprintf(text, sizeof text, "2026-12-09T%02d:%02d:%s.000Z", 10 + total / 60, total % 60,
                seconds.c_str());
  return text;
}

std::string End(const std::string& mac, const std::string& started, const std::string& ended,
                const std::string& outcome, const std::string& more = "") {
  return "{\"event\":\"end\",\"started\":\"" + At(started) + "\",\"ended\":\"" + At(ended) +
         "\",\"mac\":\"" + mac + "\",\"outcome\":\"" + outcome + "\"" + more + "}\n";
}

std::string Start(const std::string& mac, const std::string& time) {
  return "{\"event\":\"start\",\"time\":\"" + At(time) + "\",\"mac\":\"" + mac + "\"}\n";
}

std::string WithoutLineEnd(const std::string& line) { return line.substr(0, line.size() - 1); }

// "mac:outcome/runs ..." of every unit, by MAC.
std::string UnitsText(const RecordSummary& summary) {
  std::string text;
  for (const UnitResult& unit : summary.Units()) {
    if (!text.empty()) text += ' ';
    text += unit.last.mac + ':' + RecordOutcomeName(unit.last.outcome) + '/' +
            std::to_string(unit.runs);
  }
  return text;
}

// "file:line reason (detail); ..." of every line left out.
std::string SkippedText(const RecordReader& record) {
  std::string text;
  for (const RecordSkip& skip : record.Skipped()) {
    if (!text.empty()) text += "; ";
    text += skip.place.file + ':' + std::to_string(skip.place.line) + ' ' +
            RecordSkipReasonText(skip.reason);
    if (!skip.detail.empty()) text += " (" + skip.detail + ')';
  }
  return text;
}

struct RecordCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> files;
  std::string units;  // as UnitsText gives them
  size_t passed;
  size_t failed;
  size_t cancelled;
  size_t runs;
  size_t runAgain;
  size_t passedFirstRun;
  size_t lines;         // not blank
  std::string skipped;  // as SkippedText gives them
  size_t unfinished;
};

TEST(RecordSummary, UnitsOutcomesAndLinesLeftOut) {
  const std::string pass1 = End("02:00:00:00:00:01", "0", "1", "passed");
  const std::vector<RecordCase> cases = {
      {"an empty record", {{"a", ""}}, "", 0, 0, 0, 0, 0, 0, 0, "", 0},
      {"blank lines, CR LF line ends and a byte order mark",
       {{"a", "\xEF\xBB\xBF" + WithoutLineEnd(pass1) + "\r\n  \n\r\n"}},
       "02:00:00:00:00:01:passed/1",
       1,
       0,
       0,
       1,
       0,
       1,
       1,
       "",
       0},
      {"a unit failed, then passed: one unit, passed, two runs",
       {{"a", End("02:00:00:00:00:01", "0", "1", "failed", ",\"error\":\"x\"") +
                  End("02:00:00:00:00:01", "5", "6", "passed")}},
       "02:00:00:00:00:01:passed/2",
       1,
       0,
       0,
       2,
       1,
       0,
       2,
       "",
       0},
      {"a unit passed, then was run again and failed: failed",
       {{"a", pass1 + End("02:00:00:00:00:01", "5", "6", "failed")}},
       "02:00:00:00:00:01:failed/2",
       0,
       1,
       0,
       2,
       1,
       0,
       2,
       "",
       0},
      {"the run that ended last decides, not the one written last",
       {{"a", End("02:00:00:00:00:01", "5", "6", "passed") +
                  End("02:00:00:00:00:01", "0", "1", "failed")}},
       "02:00:00:00:00:01:passed/2",
       1,
       0,
       0,
       2,
       1,
       0,
       2,
       "",
       0},
      {"cancelled units count apart",
       {{"a", pass1 + End("02:00:00:00:00:02", "0", "1", "cancelled") +
                  End("02:00:00:00:00:03", "0", "1", "failed")}},
       "02:00:00:00:00:01:passed/1 02:00:00:00:00:02:cancelled/1 02:00:00:00:00:03:failed/1",
       1,
       1,
       1,
       3,
       0,
       1,
       3,
       "",
       0},
      {"a torn last line is left out; a last line without its line end is not torn",
       {{"a", pass1 + "{\"event\":\"end\",\"started\":\"2026-12"},
        {"b", WithoutLineEnd(End("02:00:00:00:00:02", "0", "1", "passed"))}},
       "02:00:00:00:00:01:passed/1 02:00:00:00:00:02:passed/1",
       2,
       0,
       0,
       2,
       0,
       2,
       3,
       "a:2 torn last line",
       0},
      {"lines that are not records, each with its reason",
       {{"a", "not json\n" + pass1 + "[1,2]\n{\"mac\":\"02:00:00:00:00:09\"}\n" +
                  "{\"event\":\"note\",\"text\":\"shift change\"}\n" +
                  "{\"event\":\"end\",\"outcome\":\"passed\"}\n" +
                  "{\"event\":\"end\",\"mac\":\"02:00:00:00:00:03\"}\n" +
                  End("02:00:00:00:00:04", "0", "1", "skipped") +
                  "{\"event\":\"end\",\"mac\":7}\n"}},
       "02:00:00:00:00:01:passed/1",
       1,
       0,
       0,
       1,
       0,
       1,
       9,
       "a:1 not JSON; a:3 not a record line; a:4 not a record line; a:5 unknown event "
       "(\"note\"); a:6 missing field (no \"mac\"); a:7 missing field (no \"outcome\"); a:8 "
       "missing field (\"outcome\" is \"skipped\"); a:9 missing field (no \"mac\")",
       0},
      {"unknown fields and fields of other types are ignored",
       {{"a", End("02:00:00:00:00:01", "0", "1", "passed",
                  ",\"station\":{\"bay\":3},\"seconds\":\"slow\",\"vendor\":-1,\"error\":null,"
                  "\"resends\":2.5,\"future\":[1,2]")}},
       "02:00:00:00:00:01:passed/1",
       1,
       0,
       0,
       1,
       0,
       1,
       1,
       "",
       0},
      {"several files merge: a failure in one, its pass in the other",
       {{"monday", End("02:00:00:00:00:01", "0", "1", "failed") +
                       End("02:00:00:00:00:02", "0", "2", "passed")},
        {"tuesday", End("02:00:00:00:00:01", "60", "61", "passed")}},
       "02:00:00:00:00:01:passed/2 02:00:00:00:00:02:passed/1",
       2,
       0,
       0,
       3,
       1,
       1,
       3,
       "",
       0},
      {"a file given twice counts once",
       {{"a", pass1 + Start("02:00:00:00:00:02", "3")},
        {"a", pass1 + Start("02:00:00:00:00:02", "3")}},
       "02:00:00:00:00:01:passed/1",
       1,
       0,
       0,
       1,
       0,
       1,
       4,
       "a:1 duplicate of a line read before; a:2 duplicate of a line read before",
       1},
      {"MACs in other letter case are the same unit",
       {{"a", End("02:00:00:00:00:0a", "0", "1", "failed") +
                  End("02:00:00:00:00:0A", "3", "4", "passed")}},
       "02:00:00:00:00:0A:passed/2",
       1,
       0,
       0,
       2,
       1,
       0,
       2,
       "",
       0},
      {"a start without its end is unfinished; one with its end (within a second) is not",
       {{"a", Start("02:00:00:00:00:01", "0:01") + pass1 + Start("02:00:00:00:00:02", "2") +
                  Start("02:00:00:00:00:01", "0:02") + Start("02:00:00:00:00:01", "9")}},
       "02:00:00:00:00:01:passed/1",
       1,
       0,
       0,
       1,
       0,
       1,
       5,
       "",
       3},
      {"only start lines: no unit, every run unfinished",
       {{"a", Start("02:00:00:00:00:01", "0")}},
       "",
       0,
       0,
       0,
       0,
       0,
       0,
       1,
       "",
       1},
  };
  for (const RecordCase& c : cases) {
    SCOPED_TRACE(c.name);
    RecordReader record;
    for (const auto& [name, text] : c.files) record.ReadText(name, text);
    const RecordSummary summary(record);
    EXPECT_EQ(UnitsText(summary), c.units);
    EXPECT_EQ(summary.Passed(), c.passed);
    EXPECT_EQ(summary.Failed(), c.failed);
    EXPECT_EQ(summary.Cancelled(), c.cancelled);
    EXPECT_EQ(summary.Runs(), c.runs);
    EXPECT_EQ(summary.RunAgain(), c.runAgain);
    EXPECT_EQ(summary.PassedFirstRun(), c.passedFirstRun);
    EXPECT_EQ(record.Lines(), c.lines);
    EXPECT_EQ(SkippedText(record), c.skipped);
    EXPECT_EQ(summary.Unfinished().size(), c.unfinished);
  }
}

TEST(RecordSummary, FiguresOfAShift) {
  // The script and version fields of an end line, and what else it says.
  const auto with = [](const char* sha256, const char* version, const std::string& more = "") {
    return std::string(",\"script\":\"/s/x.QOR\",\"script_sha256\":\"") + sha256 +
           "\",\"qorctl\":\"" + version + "\"" + more;
  };
  RecordReader record;
  record.ReadText(
      "shift",
      Start("02:00:00:00:00:01", "0") +
          End("02:00:00:00:00:01", "0", "0:40", "passed",
              with("aa", "0.1.0", ",\"seconds\":40.0,\"resends\":3,\"bytes_sent\":1000")) +
          End("02:00:00:00:00:02", "1", "1:50", "passed", with("aa", "0.1.0", ",\"seconds\":50")) +
          End("02:00:00:00:00:03", "2", "2:30", "failed",
              with("aa", "0.1.0", ",\"seconds\":30,\"error\":\"Target refused\"")) +
          End("02:00:00:00:00:04", "3", "3:30", "failed",
              with("aa", "0.1.0", ",\"seconds\":30,\"error\":\"Target refused\"")) +
          End("02:00:00:00:00:05", "4", "4:10", "failed",
              with("aa", "0.1.0", ",\"seconds\":10,\"error\":\"Verification failed\"")) +
          // 06 fails once, is run again and passes: its error counts as a run, not a unit.
          End("02:00:00:00:00:06", "50", "50:30", "failed",
              with("bb", "0.2.0", ",\"seconds\":30,\"error\":\"Target silent\"")) +
          End("02:00:00:00:00:06", "60", "60:20", "passed",
              with("bb", "0.2.0", ",\"seconds\":20,\"resends\":0")) +
          // No times: counted, but in no hour and no span.
          "{\"event\":\"end\",\"mac\":\"02:00:00:00:00:07\",\"outcome\":\"cancelled\"}\n" +
          End("02:00:00:00:00:08", "175", "180", "passed", with("bb", "0.1.0")) +
          Start("02:00:00:00:00:09", "181"));
  RecordSummaryOptions options;
  options.slowestCount = 3;
  const RecordSummary summary(record, options);

  EXPECT_EQ(summary.Units().size(), 8u);
  ASSERT_TRUE(summary.PassRate());
  EXPECT_DOUBLE_EQ(*summary.PassRate(), 4.0 / 7.0);  // the cancelled unit is not judged
  // From the first start (10:00) to the last time (the unfinished start at 13:01).
  EXPECT_EQ(summary.FirstStartMs(), ParseRecordTime("2026-12-09T10:00:00Z"));
  EXPECT_EQ(summary.LastEndMs(), ParseRecordTime("2026-12-09T13:01:00Z"));
  ASSERT_TRUE(summary.UnitsPerHour());
  EXPECT_NEAR(*summary.UnitsPerHour(), 8.0 / (181.0 / 60.0), 1e-9);
  // Passed runs: 40, 50, 20 and 300 seconds (from the times, as the line gives no seconds).
  EXPECT_EQ(summary.MedianPassSeconds(), 45.0);
  EXPECT_EQ(summary.NinetiethPassSeconds(), 300.0);

  std::vector<std::string> slowest;
  for (const UnitResult& unit : summary.Slowest()) slowest.push_back(unit.last.mac);
  EXPECT_EQ(slowest, (std::vector<std::string>{"02:00:00:00:00:08", "02:00:00:00:00:02",
                                               "02:00:00:00:00:01"}));
  ASSERT_EQ(summary.FailedUnits().size(), 3u);
  EXPECT_EQ(summary.FailedUnits().front().last.mac, "02:00:00:00:00:03");
  std::vector<std::string> errors;
  for (const ErrorGroup& group : summary.Errors()) {
    errors.push_back(group.error + ": " + std::to_string(group.macs.size()) + " units, " +
                     std::to_string(group.runs) + " runs");
  }
  EXPECT_EQ(errors, (std::vector<std::string>{"Target refused: 2 units, 2 runs",
                                              "Verification failed: 1 units, 1 runs",
                                              "Target silent: 0 units, 1 runs"}));
  EXPECT_EQ(summary.Errors()[0].macs,
            (std::vector<std::string>{"02:00:00:00:00:03", "02:00:00:00:00:04"}));

  // Hours 10:00 to 13:00 with the empty 12:00 kept; the run without times is in none.
  std::vector<std::string> hours;
  for (const HourCount& hour : summary.Hours()) {
    hours.push_back(UtcTimeText(hour.wallStartMs).substr(11, 5) + " " +
                    std::to_string(hour.passed) + "/" + std::to_string(hour.failed) + "/" +
                    std::to_string(hour.cancelled) + " " + std::to_string(hour.units));
  }
  // The runs by outcome, then the units whose last run ended in the hour.
  EXPECT_EQ(hours, (std::vector<std::string>{"10:00 2/4/0 5", "11:00 1/0/0 1", "12:00 0/0/0 0",
                                             "13:00 1/0/0 1"}));
  EXPECT_EQ(summary.RunsWithoutTime(), 1u);
  ASSERT_EQ(summary.Unfinished().size(), 1u);
  EXPECT_EQ(summary.Unfinished()[0].mac, "02:00:00:00:00:09");

  ASSERT_EQ(summary.Scripts().size(), 3u);  // aa, bb, and the cancelled run that named none
  EXPECT_EQ(summary.Scripts()[0].sha256, "aa");
  EXPECT_EQ(summary.Scripts()[0].runs, 5u);
  EXPECT_TRUE(summary.Scripts()[0].pathHasOtherDigests);
  EXPECT_EQ(summary.Scripts()[1].sha256, "bb");
  EXPECT_EQ(summary.Scripts()[1].runs, 3u);
  EXPECT_FALSE(summary.Scripts()[2].pathHasOtherDigests);
  ASSERT_EQ(summary.Versions().size(), 3u);
  EXPECT_EQ(summary.Versions()[0].version, "0.1.0");
  EXPECT_EQ(summary.Versions()[0].runs, 6u);
  EXPECT_EQ(summary.Versions()[1].version, "0.2.0");
  EXPECT_EQ(summary.Resends(), 3u);
  EXPECT_EQ(summary.RunsWithResends(), 1u);
  EXPECT_EQ(summary.BytesSent(), 1000u);
}

TEST(RecordSummary, OnlyBelievableRunTimesCount) {
  RecordReader record;
  record.ReadText("a",
                  End("02:00:00:00:00:01", "0", "1", "passed", ",\"seconds\":1e308") +
                      End("02:00:00:00:00:02", "0", "1", "passed", ",\"seconds\":-1") +
                      End("02:00:00:00:00:03", "0", "1", "passed", ",\"seconds\":\"slow\"") +
                      End("02:00:00:00:00:04", "0", "1", "passed", ",\"seconds\":40") +
                      "{\"event\":\"end\",\"mac\":\"02:00:00:00:00:05\",\"outcome\":\"passed\","
                      "\"started\":\"2024-01-01T00:00:00Z\",\"ended\":\"2026-01-01T00:00:00Z\"}\n");
  const RecordSummary summary(record);
  // No run takes 1e308 or -1 seconds: the times give the minute instead. Two years between a
  // start and its end is no run time either.
  std::vector<std::string> slowest;
  for (const UnitResult& unit : summary.Slowest()) {
    slowest.push_back(unit.last.mac + " " + std::to_string(*unit.last.seconds));
  }
  EXPECT_EQ(slowest, (std::vector<std::string>{
                         "02:00:00:00:00:01 60.000000", "02:00:00:00:00:02 60.000000",
                         "02:00:00:00:00:03 60.000000", "02:00:00:00:00:04 40.000000"}));
  EXPECT_EQ(summary.MedianPassSeconds(), 60.0);
}

TEST(RecordSummary, HoursFollowTheWallClock) {
  RecordReader record;
  record.ReadText("a", End("02:00:00:00:00:01", "0", "20", "passed") +
                           End("02:00:00:00:00:02", "0", "40", "failed") +
                           End("02:00:00:00:00:03", "0", "100", "passed"));
  struct Zone {
    const char* name;
    int64_t offsetMs;
    std::vector<std::string> hours;  // wall clock start and runs
  };
  const std::vector<Zone> zones = {
      {"UTC", 0, {"10:00 2", "11:00 1"}},
      // 10:20 UTC is 15:50 there, 10:40 is 16:10: two hours for what is one in UTC.
      {"UTC+05:30", 19'800'000, {"15:00 1", "16:00 1", "17:00 1"}},
      {"UTC-03:00", -10'800'000, {"07:00 2", "08:00 1"}},
  };
  for (const Zone& zone : zones) {
    SCOPED_TRACE(zone.name);
    RecordSummaryOptions options;
    options.utcOffsetMs = [&](int64_t) { return zone.offsetMs; };
    const RecordSummary summary(record, options);
    std::vector<std::string> hours;
    for (const HourCount& hour : summary.Hours()) {
      EXPECT_EQ(hour.utcOffsetMs, zone.offsetMs);
      hours.push_back(UtcTimeText(hour.wallStartMs).substr(11, 5) + " " +
                      std::to_string(hour.Runs()));
    }
    EXPECT_EQ(hours, zone.hours);
    EXPECT_EQ(summary.WallTime(0), zone.offsetMs);
  }
}

TEST(RecordSummary, FarApartTimesKeepOnlyTheHoursWithRuns) {
  // One line with a clock a year off must not make thousands of empty hours.
  RecordReader record;
  record.ReadText("a", End("02:00:00:00:00:01", "0", "1", "passed") +
                           "{\"event\":\"end\",\"mac\":\"02:00:00:00:00:02\",\"outcome\":"
                           "\"passed\",\"ended\":\"2027-12-09T10:00:00Z\"}\n");
  const RecordSummary summary(record);
  ASSERT_EQ(summary.Hours().size(), 2u);
  EXPECT_EQ(UtcTimeText(summary.Hours()[1].wallStartMs), "2027-12-09T10:00:00.000Z");
}

TEST(RecordReader, FilesAreReadInBlocksOrRefusedWhole) {
  test::TempFiles files;
  const std::string good = files.Write("good.jsonl", End("02:00:00:00:00:01", "0", "1", "passed"));
  RecordReader record;
  record.ReadFile(good);
  EXPECT_EQ(record.Ends().size(), 1u);
  EXPECT_EQ(record.Ends()[0].place.file, good);
  for (const std::string& bad : {files.Folder() + "/missing.jsonl", files.Folder()}) {
    try {
      record.ReadFile(bad);
      ADD_FAILURE() << "read " << bad;
    } catch (const Exception& error) {
      EXPECT_EQ(error.Message(), "Cannot open \"" + bad + "\"");
    }
  }
  EXPECT_EQ(record.Files(), std::vector<std::string>{good});
  // Read in blocks: a line across a block's end is one line, and the last line's lack of a
  // line end is seen.
  const std::string longLine = End("02:00:00:00:00:02", "0", "1", "failed",
                                   ",\"error\":\"" + std::string(70000, 'e') + "\"");
  record.ReadFile(files.Write("long.jsonl", longLine + longLine.substr(0, 100)));
  ASSERT_EQ(record.Ends().size(), 2u);
  EXPECT_EQ(record.Ends()[1].error.size(), 70000u);
  ASSERT_EQ(record.Skipped().size(), 1u);
  EXPECT_EQ(record.Skipped()[0].reason, RecordSkipReason::kTornLastLine);
  EXPECT_EQ(record.Skipped()[0].place.line, 2u);
  // A file of something else, given by mistake, is not held whole: a line far longer than any
  // record's is dropped as it comes.
  record.ReadFile(files.Write("image.bin", std::string(17 * 1024 * 1024, 'x') + "\n" +
                                               End("02:00:00:00:00:03", "0", "1", "passed")));
  EXPECT_EQ(record.Ends().size(), 3u);
  ASSERT_EQ(record.Skipped().size(), 2u);
  EXPECT_EQ(record.Skipped()[1].reason, RecordSkipReason::kNotJson);
  EXPECT_EQ(record.Skipped()[1].detail, "longer than any record line");
}

TEST(RecordTime, ParsesTheRecordsTimesOnly) {
  const struct {
    const char* text;
    std::optional<int64_t> ms;
  } cases[] = {
      {"1970-01-01T00:00:00Z", 0},
      {"1970-01-01T00:00:01.5Z", 1500},
      {"1970-01-01T00:00:00.123456Z", 123},
      {"2026-12-09T10:15:02.123Z", 1796811302123},
      {"2026-12-09T11:15:02.123+01:00", 1796811302123},
      {"2026-12-09T07:45:02.123-02:30", 1796811302123},
      {"1969-12-31T23:59:59Z", -1000},
      {"2028-02-29T00:00:00Z", 1835395200000},
      {"2027-02-29T00:00:00Z", std::nullopt},  // not a leap year
      {"2026-12-09T10:15:02", std::nullopt},   // no zone
      {"2026-12-09 10:15:02Z", std::nullopt},
      {"2026-12-09T24:00:00Z", std::nullopt},
      {"2026-12-09T10:15:02.Z", std::nullopt},
      {"2026-12-09T10:15:02Zjunk", std::nullopt},
      {"2026-13-09T10:15:02Z", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseRecordTime(c.text), c.ms) << c.text;
    if (c.ms && std::string(c.text).ends_with("Z") && std::string(c.text).size() <= 24) {
      EXPECT_EQ(ParseRecordTime(UtcTimeText(*c.ms)), c.ms) << "round trip of " << c.text;
    }
  }
  EXPECT_EQ(UtcTimeText(1796811302123), "2026-12-09T10:15:02.123Z");
  EXPECT_EQ(UtcTimeText(-1), "1969-12-31T23:59:59.999Z");
}

}  // namespace
}  // namespace qor
