#include "station/RecordSummary.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <utility>

namespace qor {
namespace {

constexpr int64_t kHourMs = 3'600'000;
// Beyond a month of hours the chart would be hairs; only the hours with runs are kept then
// (which also keeps a wildly wrong time in one line from making millions of empty hours).
constexpr int64_t kMostFilledHours = 31 * 24;

std::string MacKey(const std::string& mac) {
  std::string key;
  for (const char c : mac) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

int64_t FloorDiv(int64_t value, int64_t divisor) {
  const int64_t quotient = value / divisor;
  return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}

// The nearest-rank percentile of sorted values.
std::optional<double> Percentile(const std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return std::nullopt;
  const auto rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

}  // namespace

struct RecordSummary::Impl {
  RecordSummaryOptions options;
  std::vector<UnitResult> units;
  size_t passed = 0;
  size_t failed = 0;
  size_t cancelled = 0;
  size_t runs = 0;
  size_t runAgain = 0;
  size_t passedFirstRun = 0;
  std::optional<int64_t> firstMs;
  std::optional<int64_t> lastMs;
  std::vector<double> passSeconds;  // sorted
  std::vector<UnitResult> slowest;
  std::vector<UnitResult> failedUnits;
  std::vector<ErrorGroup> errors;
  std::vector<HourCount> hours;
  size_t runsWithoutTime = 0;
  std::vector<UnfinishedRun> unfinished;
  std::vector<ScriptSeen> scripts;
  std::vector<VersionSeen> versions;
  uint64_t resends = 0;
  size_t runsWithResends = 0;
  uint64_t bytesSent = 0;

  int64_t Offset(int64_t utcMs) const {
    return options.utcOffsetMs ? options.utcOffsetMs(utcMs) : 0;
  }

  void Span(const std::optional<int64_t>& time) {
    if (!time) return;
    firstMs = firstMs ? std::min(*firstMs, *time) : *time;
    lastMs = lastMs ? std::max(*lastMs, *time) : *time;
  }

  void TakeUnits(const std::vector<RecordEnd>& ends) {
    // A unit's runs in the order they ended; runs without a time before those with one, so a
    // run that can be placed decides, and the order read among equals.
    std::map<std::string, std::vector<size_t>> byMac;
    for (size_t i = 0; i < ends.size(); ++i) byMac[MacKey(ends[i].mac)].push_back(i);
    const auto when = [&](size_t i) {
      const RecordEnd& end = ends[i];
      return std::make_pair(
          end.endedMs ? *end.endedMs : end.startedMs.value_or(std::numeric_limits<int64_t>::min()),
          i);
    };
    for (auto& [mac, indexes] : byMac) {
      std::sort(indexes.begin(), indexes.end(),
                [&](size_t a, size_t b) { return when(a) < when(b); });
      UnitResult unit{ends[indexes.back()], indexes.size()};
      switch (unit.last.outcome) {
        case RecordOutcome::kPassed:
          ++passed;
          if (unit.runs == 1) ++passedFirstRun;
          break;
        case RecordOutcome::kFailed:
          ++failed;
          break;
        case RecordOutcome::kCancelled:
          ++cancelled;
          break;
      }
      if (unit.runs > 1) ++runAgain;
      units.push_back(std::move(unit));
    }
  }

  void TakeRunTimes(const std::vector<RecordEnd>& ends) {
    for (const RecordEnd& end : ends) {
      if (end.outcome == RecordOutcome::kPassed && end.seconds) passSeconds.push_back(*end.seconds);
    }
    std::sort(passSeconds.begin(), passSeconds.end());
    for (const UnitResult& unit : units) {
      if (unit.last.seconds) slowest.push_back(unit);
      if (unit.last.outcome == RecordOutcome::kFailed) failedUnits.push_back(unit);
    }
    std::stable_sort(slowest.begin(), slowest.end(), [](const UnitResult& a, const UnitResult& b) {
      return *a.last.seconds > *b.last.seconds;
    });
    if (slowest.size() > options.slowestCount) slowest.resize(options.slowestCount);
    std::stable_sort(failedUnits.begin(), failedUnits.end(),
                     [](const UnitResult& a, const UnitResult& b) {
                       return a.last.endedMs.value_or(std::numeric_limits<int64_t>::min()) <
                              b.last.endedMs.value_or(std::numeric_limits<int64_t>::min());
                     });
    std::map<std::string, ErrorGroup> byError;
    for (const RecordEnd& end : ends) {
      if (end.outcome == RecordOutcome::kFailed) ++byError[end.error].runs;
    }
    for (const UnitResult& unit : failedUnits)
      byError[unit.last.error].macs.push_back(unit.last.mac);
    for (auto& [error, group] : byError) {
      group.error = error;
      errors.push_back(std::move(group));
    }
    std::stable_sort(errors.begin(), errors.end(), [](const ErrorGroup& a, const ErrorGroup& b) {
      return a.macs.size() != b.macs.size() ? a.macs.size() > b.macs.size() : a.runs > b.runs;
    });
  }

  int64_t HourOf(int64_t utcMs) const { return FloorDiv(utcMs + Offset(utcMs), kHourMs); }

  void TakeHours(const std::vector<RecordEnd>& ends) {
    std::map<int64_t, HourCount> byHour;
    for (const RecordEnd& end : ends) {
      if (!end.endedMs) {
        ++runsWithoutTime;
        continue;
      }
      HourCount& count = byHour[HourOf(*end.endedMs)];
      switch (end.outcome) {
        case RecordOutcome::kPassed:
          ++count.passed;
          break;
        case RecordOutcome::kFailed:
          ++count.failed;
          break;
        case RecordOutcome::kCancelled:
          ++count.cancelled;
          break;
      }
    }
    for (const UnitResult& unit : units) {
      if (unit.last.endedMs) ++byHour[HourOf(*unit.last.endedMs)].units;
    }
    if (byHour.empty()) return;
    const int64_t first = byHour.begin()->first;
    const int64_t last = byHour.rbegin()->first;
    const bool fill = last - first < kMostFilledHours;
    for (int64_t hour = first; hour <= last; ++hour) {
      const auto found = byHour.find(hour);
      if (found == byHour.end() && !fill) {
        hour = byHour.upper_bound(hour)->first - 1;
        continue;
      }
      HourCount count = found != byHour.end() ? found->second : HourCount{};
      count.wallStartMs = hour * kHourMs;
      // The wall clock's hour back on UTC, for its offset (near enough at a clock change).
      count.utcOffsetMs = Offset(count.wallStartMs - Offset(count.wallStartMs));
      hours.push_back(count);
    }
  }

  void TakeUnfinished(const RecordReader& record) {
    // A start and its end carry the same time; a second either way is allowed for a writer
    // that read its clock twice (a run again after a stop takes far longer to start).
    constexpr int64_t kSameStartMs = 1000;
    std::map<std::string, std::set<int64_t>> started;
    for (const RecordEnd& end : record.Ends()) {
      if (end.startedMs) started[MacKey(end.mac)].insert(*end.startedMs);
    }
    for (const RecordStart& start : record.Starts()) {
      if (!start.timeMs) continue;
      const auto found = started.find(MacKey(start.mac));
      if (found != started.end()) {
        const auto near = found->second.lower_bound(*start.timeMs - kSameStartMs);
        if (near != found->second.end() && *near <= *start.timeMs + kSameStartMs) continue;
      }
      unfinished.push_back({start.mac, *start.timeMs});
    }
    std::stable_sort(
        unfinished.begin(), unfinished.end(),
        [](const UnfinishedRun& a, const UnfinishedRun& b) { return a.startedMs < b.startedMs; });
  }

  void TakeScripts(const std::vector<RecordEnd>& ends) {
    std::map<std::pair<std::string, std::string>, size_t> index;
    std::map<std::string, std::set<std::string>> digests;
    std::map<std::string, size_t> versionIndex;
    for (const RecordEnd& end : ends) {
      const auto [found, added] = index.try_emplace({end.script, end.scriptSha256}, scripts.size());
      if (added) {
        ScriptSeen seen;
        seen.path = end.script;
        seen.sha256 = end.scriptSha256;
        scripts.push_back(std::move(seen));
      }
      ScriptSeen& script = scripts[found->second];
      ++script.runs;
      const std::optional<int64_t> when = end.endedMs ? end.endedMs : end.startedMs;
      if (when) {
        script.firstMs = script.firstMs ? std::min(*script.firstMs, *when) : *when;
        script.lastMs = script.lastMs ? std::max(*script.lastMs, *when) : *when;
      }
      digests[end.script].insert(end.scriptSha256);

      const auto [version, addedVersion] = versionIndex.try_emplace(end.qorctl, versions.size());
      if (addedVersion) versions.push_back({end.qorctl, 0});
      ++versions[version->second].runs;

      if (end.resends) {
        resends += *end.resends;
        if (*end.resends > 0) ++runsWithResends;
      }
      if (end.bytesSent) bytesSent += *end.bytesSent;
    }
    for (ScriptSeen& script : scripts) script.pathHasOtherDigests = digests[script.path].size() > 1;
    std::stable_sort(scripts.begin(), scripts.end(), [](const ScriptSeen& a, const ScriptSeen& b) {
      return a.firstMs.value_or(std::numeric_limits<int64_t>::max()) <
             b.firstMs.value_or(std::numeric_limits<int64_t>::max());
    });
  }
};

RecordSummary::RecordSummary(const RecordReader& record, RecordSummaryOptions options)
    : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  const std::vector<RecordEnd>& ends = record.Ends();
  impl_->runs = ends.size();
  for (const RecordEnd& end : ends) {
    impl_->Span(end.startedMs);
    impl_->Span(end.endedMs);
  }
  for (const RecordStart& start : record.Starts()) impl_->Span(start.timeMs);
  impl_->TakeUnits(ends);
  impl_->TakeRunTimes(ends);
  impl_->TakeHours(ends);
  impl_->TakeUnfinished(record);
  impl_->TakeScripts(ends);
}

RecordSummary::~RecordSummary() = default;

const std::vector<UnitResult>& RecordSummary::Units() const { return impl_->units; }
size_t RecordSummary::Passed() const { return impl_->passed; }
size_t RecordSummary::Failed() const { return impl_->failed; }
size_t RecordSummary::Cancelled() const { return impl_->cancelled; }
size_t RecordSummary::Runs() const { return impl_->runs; }
size_t RecordSummary::RunAgain() const { return impl_->runAgain; }
size_t RecordSummary::PassedFirstRun() const { return impl_->passedFirstRun; }

std::optional<double> RecordSummary::PassRate() const {
  const size_t judged = impl_->passed + impl_->failed;
  if (judged == 0) return std::nullopt;
  return static_cast<double>(impl_->passed) / static_cast<double>(judged);
}

std::optional<int64_t> RecordSummary::FirstStartMs() const { return impl_->firstMs; }
std::optional<int64_t> RecordSummary::LastEndMs() const { return impl_->lastMs; }

std::optional<double> RecordSummary::UnitsPerHour() const {
  if (!impl_->firstMs || *impl_->lastMs <= *impl_->firstMs) return std::nullopt;
  return static_cast<double>(impl_->units.size()) * kHourMs /
         static_cast<double>(*impl_->lastMs - *impl_->firstMs);
}

std::optional<double> RecordSummary::MedianPassSeconds() const {
  const std::vector<double>& sorted = impl_->passSeconds;
  if (sorted.empty()) return std::nullopt;
  const size_t middle = sorted.size() / 2;
  return sorted.size() % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

std::optional<double> RecordSummary::NinetiethPassSeconds() const {
  return Percentile(impl_->passSeconds, 0.9);
}

const std::vector<UnitResult>& RecordSummary::Slowest() const { return impl_->slowest; }
const std::vector<UnitResult>& RecordSummary::FailedUnits() const { return impl_->failedUnits; }
const std::vector<ErrorGroup>& RecordSummary::Errors() const { return impl_->errors; }
const std::vector<HourCount>& RecordSummary::Hours() const { return impl_->hours; }
size_t RecordSummary::RunsWithoutTime() const { return impl_->runsWithoutTime; }
const std::vector<UnfinishedRun>& RecordSummary::Unfinished() const { return impl_->unfinished; }
const std::vector<ScriptSeen>& RecordSummary::Scripts() const { return impl_->scripts; }
const std::vector<VersionSeen>& RecordSummary::Versions() const { return impl_->versions; }
uint64_t RecordSummary::Resends() const { return impl_->resends; }
size_t RecordSummary::RunsWithResends() const { return impl_->runsWithResends; }
uint64_t RecordSummary::BytesSent() const { return impl_->bytesSent; }

int64_t RecordSummary::WallTime(int64_t utcMs) const { return utcMs + impl_->Offset(utcMs); }
int64_t RecordSummary::UtcOffsetMs(int64_t utcMs) const { return impl_->Offset(utcMs); }

}  // namespace qor
