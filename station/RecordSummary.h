#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/RecordReader.h"

namespace qor {

// One unit (a MAC) of the record: its last run decides its outcome.
struct UnitResult {
  RecordEnd last;
  size_t runs = 0;
};

// The runs that ended within one hour of the wall clock, by outcome, and the units they finished.
struct HourCount {
  int64_t wallStartMs = 0;  // the hour's start on the wall clock (see RecordSummary::WallTime)
  int64_t utcOffsetMs = 0;  // the wall clock's offset from UTC then
  size_t passed = 0;
  size_t failed = 0;
  size_t cancelled = 0;
  size_t units = 0;  // units whose last run ended within the hour
  [[nodiscard]] size_t Runs() const { return passed + failed + cancelled; }
};

// One error text of failed runs: the units whose last run failed with it, and every run that
// did, those of units run again and passed included. Most units first, then most runs.
struct ErrorGroup {
  std::string error;  // empty when the record gave none
  std::vector<std::string> macs;
  size_t runs = 0;
};

// A script as runs named it; the same path with another digest is another entry.
struct ScriptSeen {
  std::string path;
  std::string sha256;
  size_t runs = 0;
  std::optional<int64_t> firstMs;
  std::optional<int64_t> lastMs;
  bool pathHasOtherDigests = false;  // the file changed while the record was written
};

struct VersionSeen {
  std::string version;  // empty when runs did not say
  size_t runs = 0;
};

// A start line without an end line: the run the station did not finish.
struct UnfinishedRun {
  std::string mac;
  int64_t startedMs = 0;
};

struct RecordSummaryOptions {
  // The wall clock's offset from UTC at a time (both in milliseconds); none: UTC.
  std::function<int64_t(int64_t utcMs)> utcOffsetMs;
  size_t slowestCount = 10;
};

// The figures of a production record: units and their outcomes (a unit run again after a
// failure counts once, with its last outcome), rates, run times, runs per hour of the wall clock,
// errors, scripts and versions. Computed once from what a RecordReader read.
class RecordSummary {
 public:
  explicit RecordSummary(const RecordReader& record, RecordSummaryOptions options = {});
  ~RecordSummary();
  RecordSummary(const RecordSummary&) = delete;
  RecordSummary& operator=(const RecordSummary&) = delete;

  // Every unit, by MAC.
  [[nodiscard]] const std::vector<UnitResult>& Units() const;
  [[nodiscard]] size_t Passed() const;
  [[nodiscard]] size_t Failed() const;
  [[nodiscard]] size_t Cancelled() const;
  // End lines: every run of every unit.
  [[nodiscard]] size_t Runs() const;
  // Units that took more than one run.
  [[nodiscard]] size_t RunAgain() const;
  // Units that passed with their only run.
  [[nodiscard]] size_t PassedFirstRun() const;
  // Passed of passed and failed units (cancelled ones were stopped, not judged); none without
  // any.
  [[nodiscard]] std::optional<double> PassRate() const;

  // From the first start to the last end of anything in the record; none without times.
  [[nodiscard]] std::optional<int64_t> FirstStartMs() const;
  [[nodiscard]] std::optional<int64_t> LastEndMs() const;
  // Units over that span; none when it is empty.
  [[nodiscard]] std::optional<double> UnitsPerHour() const;

  // Run times of passed runs.
  [[nodiscard]] std::optional<double> MedianPassSeconds() const;
  [[nodiscard]] std::optional<double> NinetiethPassSeconds() const;
  // Units by the time of their last run, slowest first.
  [[nodiscard]] const std::vector<UnitResult>& Slowest() const;
  // Units whose last run failed, in the order their runs ended.
  [[nodiscard]] const std::vector<UnitResult>& FailedUnits() const;
  [[nodiscard]] const std::vector<ErrorGroup>& Errors() const;

  // Every hour from the first run's end to the last one's, empty hours included.
  [[nodiscard]] const std::vector<HourCount>& Hours() const;
  // Runs that carry no end time, so no hour holds them.
  [[nodiscard]] size_t RunsWithoutTime() const;
  [[nodiscard]] const std::vector<UnfinishedRun>& Unfinished() const;

  [[nodiscard]] const std::vector<ScriptSeen>& Scripts() const;
  [[nodiscard]] const std::vector<VersionSeen>& Versions() const;
  [[nodiscard]] uint64_t Resends() const;
  [[nodiscard]] size_t RunsWithResends() const;
  [[nodiscard]] uint64_t BytesSent() const;

  // A UTC time on the wall clock of the options, in milliseconds as if that clock were UTC.
  [[nodiscard]] int64_t WallTime(int64_t utcMs) const;
  [[nodiscard]] int64_t UtcOffsetMs(int64_t utcMs) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qor
