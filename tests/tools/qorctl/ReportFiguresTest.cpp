// The figures of qorctl report as the text and the page write them, and the page's chart.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "station/RecordReader.h"
#include "station/RecordSummary.h"
#include "tools/qorctl/ReportFigures.h"
#include "tools/qorctl/ReportHtml.h"
#include "tools/qorctl/ReportText.h"

namespace qor::cli {
namespace {

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(ReportFigures, NumbersAndTextsAsShown) {
  const struct {
    std::function<std::string()> shown;
    std::string expected;
  } cases[] = {
      {[] { return PercentText(0.0); }, "0.0 %"},
      {[] { return PercentText(0.6666); }, "66.7 %"},
      // Never "100 %" while a unit failed, never "0.0 %" while one passed.
      {[] { return PercentText(0.9996); }, "99.9 %"},
      {[] { return PercentText(1.0); }, "100 %"},
      {[] { return PercentText(0.0004); }, "0.1 %"},
      {[] { return SecondsText(0.04); }, "0.0 s"},
      {[] { return SecondsText(41.25); }, "41.2 s"},
      {[] { return SecondsText(59.96); }, "1 min 00 s"},
      {[] { return SecondsText(123.4); }, "2 min 03 s"},
      {[] { return SecondsText(3725); }, "1 h 02 min"},
      {[] { return SpanText(59'999); }, "59 s"},
      {[] { return SpanText(754'000); }, "12 min"},
      {[] { return SpanText(29'280'000); }, "8 h 08 min"},
      {[] { return OffsetText(0); }, "UTC"},
      {[] { return OffsetText(3'600'000); }, "UTC+01:00"},
      {[] { return OffsetText(-12'600'000); }, "UTC-03:30"},
      {[] { return BytesText(1); }, "1 byte"},
      {[] { return BytesText(999); }, "999 bytes"},
      {[] { return BytesText(53'584); }, "54 kB"},
      {[] { return BytesText(999'960); }, "1.0 MB"},
      {[] { return BytesText(530'000'000); }, "530 MB"},
      {[] { return CountText(1, "run", "runs"); }, "1 run"},
      {[] { return CountText(0, "run", "runs"); }, "0 runs"},
      // Control characters, C1 ones included (C2 9B acts as ESC [), become U+FFFD; other
      // characters stay.
      {[] {
         return ShownText(
             "a\x1b[2Jb\tc\x7f\xC2\x9B"
             "d \xC3\xA9\xC2\xA0");
       },
       "a\xEF\xBF\xBD[2Jb\xEF\xBF\xBD"
       "c\xEF\xBF\xBD\xEF\xBF\xBD"
       "d \xC3\xA9\xC2\xA0"},
      {[] { return HtmlText("<a href=\"x\">&amp;'</a>\n"); },
       "&lt;a href=&quot;x&quot;&gt;&amp;amp;&#39;&lt;/a&gt;\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.shown(), c.expected);
}

std::string EndLine(const std::string& mac, const std::string& ended, const char* outcome) {
  return "{\"event\":\"end\",\"mac\":\"" + mac + "\",\"outcome\":\"" + outcome +
         "\",\"started\":\"" + ended + "\",\"ended\":\"" + ended + "\",\"seconds\":1}\n";
}

TEST(ReportHtml, ChartScalesItsAxisAndShowsEveryCount) {
  struct Case {
    const char* name;
    std::string record;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  };
  std::string busy;
  for (int i = 0; i < 230; ++i) {
    busy += EndLine("02:00:00:00:" + std::to_string(10 + i / 100) + ":" + std::to_string(i % 100),
                    "2026-12-09T10:10:00Z", i == 0 ? "failed" : "passed");
  }
  const std::vector<Case> cases = {
      {"no run ended: the axis and a sentence, no bars",
       "{\"event\":\"start\",\"mac\":\"02:00:00:00:00:01\",\"time\":\"2026-12-09T10:00:00Z\"}\n",
       {"No run ended in the record", ">0</text>", "No unit failed."},
       {"<table class=\"compact\"><thead><tr><th>Hour", "nan", "inf"}},
      {"230 runs in one hour: steps of 50 up to 250; the one failure still shows",
       busy,
       {">250</text>", ">50</text>", ">230</text>", "<title>2026-12-09 10:00: 1</title>",
        "<title>2026-12-09 10:00: 229</title>", ">10:00</text>", ">9 Dec</text>"},
       {">300</text>", ">60</text>"}},
      {"an empty hour between two keeps its place and its label; the axis goes to 1",
       EndLine("02:00:00:00:00:01", "2026-12-09T23:30:00Z", "passed") +
           EndLine("02:00:00:00:00:02", "2026-12-10T01:30:00Z", "cancelled"),
       {">23:00</text>", ">00:00</text>", ">01:00</text>", ">10 Dec</text>", ">1</text>"},
       {"<title>2026-12-10 00:00", ">2</text>"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordReader record;
    record.ReadText("r", c.record);
    const RecordSummary summary(record);
    const std::string page = ReportHtml(summary, ReportHeading{});
    ASSERT_EQ(Count(page, "<svg "), 1u);
    EXPECT_EQ(Count(page, "</svg>"), 1u);
    for (const std::string& part : c.present) EXPECT_NE(page.find(part), std::string::npos) << part;
    for (const std::string& part : c.absent) EXPECT_EQ(page.find(part), std::string::npos) << part;
  }
}

TEST(ReportText, BarsShowEveryCountAndNoLineEndsInBlanks) {
  std::string record;
  for (int i = 0; i < 100; ++i) {
    record += EndLine("02:00:00:00:01:" + std::to_string(i), "2026-12-09T10:10:00Z", "passed");
  }
  record += EndLine("02:00:00:00:02:01", "2026-12-09T10:20:00Z", "failed");
  record += EndLine("02:00:00:00:02:02", "2026-12-09T12:20:00Z", "cancelled");
  RecordReader reader;
  reader.ReadText("r", record);
  ReportHeading heading;
  heading.files = {"r"};
  heading.zone = "UTC";
  const std::string text = ReportText(RecordSummary(reader), heading);
  // The busiest hour fills the bar; one failure among a hundred passes still gets its mark.
  EXPECT_NE(text.find("  2026-12-09 10:00    101    100      1         0  " + std::string(36, '#') +
                      "x\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("  2026-12-09 11:00      0      0      0         0\n"), std::string::npos);
  EXPECT_NE(text.find("  2026-12-09 12:00      1      0      0         1  -\n"), std::string::npos);
  EXPECT_EQ(text.find(" \n"), std::string::npos);
}

}  // namespace
}  // namespace qor::cli
