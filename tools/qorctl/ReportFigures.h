#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qor {
class RecordSummary;
}

namespace qor::cli {

// What a report says about itself, beside the record's figures.
struct ReportHeading {
  std::vector<std::string> files;  // the record files, as given
  size_t lines = 0;                // lines that were not blank
  size_t skipped = 0;              // of them, those left out
  std::string zone;                // how times are given: "UTC", "local time, UTC+01:00"
  std::string made;                // when the report was made, on that clock (HTML only)
  std::string version;             // qorctl's
  std::vector<std::string> notes;  // what was left out and why, one sentence each
};

// The figures the text, HTML and JSON reports share, formatted the same way.

// "2026-12-09 10:15" of a time already on the wall clock (an hour's start, say).
[[nodiscard]] std::string ClockMinuteText(int64_t wallMs);
// The same of a UTC time, on the summary's wall clock.
[[nodiscard]] std::string WallMinuteText(const RecordSummary& summary, int64_t utcMs);
// "2026-12-09 10:15:02".
[[nodiscard]] std::string WallSecondText(const RecordSummary& summary, int64_t utcMs);
// "96.9 %"; "100 %" only when it is all.
[[nodiscard]] std::string PercentText(double fraction);
// "41.2 s", "2 min 03 s", "1 h 02 min".
[[nodiscard]] std::string SecondsText(double seconds);
// "8 h 02 min", "12 min", "40 s".
[[nodiscard]] std::string SpanText(int64_t milliseconds);
// "UTC", "UTC+01:00", "UTC-03:30".
[[nodiscard]] std::string OffsetText(int64_t offsetMs);
// "1.2 GB", "640 kB", "12 bytes".
[[nodiscard]] std::string BytesText(uint64_t bytes);
// count and the noun in its number: "1 unit", "3 units".
[[nodiscard]] std::string CountText(size_t count, const char* one, const char* many);
// Record text made safe to show: control characters (C0 and C1) (which could move a terminal's
// cursor or break a document) become U+FFFD; everything else is kept.
[[nodiscard]] std::string ShownText(const std::string& text);

}  // namespace qor::cli
