#include "tools/qorctl/ReportJson.h"

#include <cstdio>
#include <cstdlib>

#include "station/RecordSummary.h"
#include "station/RecordTime.h"

namespace qor::cli {
namespace {

using Json = nlohmann::ordered_json;

template <typename T>
Json OrNull(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

Json TimeOrNull(const std::optional<int64_t>& utcMs) {
  return utcMs ? Json(UtcTimeText(*utcMs)) : Json(nullptr);
}

// "2026-12-09T06:00:00+01:00": an hour's start on the wall clock, with its offset.
std::string HourText(const HourCount& hour) {
  const CivilTime time = ToCivilTime(hour.wallStartMs);
  const int64_t minutes = std::llabs(hour.utcOffsetMs) / 60'000;
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02u:00:00%c%02lld:%02lld", time.year,
                time.month, time.day, time.hour, hour.utcOffsetMs < 0 ? '-' : '+',
                static_cast<long long>(minutes / 60), static_cast<long long>(minutes % 60));
  return text;
}

Json Unit(const UnitResult& unit) {
  return {{"mac", unit.last.mac},
          {"outcome", RecordOutcomeName(unit.last.outcome)},
          {"runs", unit.runs},
          {"seconds", OrNull(unit.last.seconds)},
          {"ended", TimeOrNull(unit.last.endedMs)},
          {"product_name", unit.last.productName},
          {"error", unit.last.error.empty() ? Json(nullptr) : Json(unit.last.error)}};
}

}  // namespace

Json ReportJson(const RecordSummary& summary, const ReportHeading& heading) {
  Json report;
  report["files"] = heading.files;
  report["lines"] = heading.lines;
  report["skipped"] = heading.skipped;
  report["first_start"] = TimeOrNull(summary.FirstStartMs());
  report["last_end"] = TimeOrNull(summary.LastEndMs());
  report["units"] = summary.Units().size();
  report["passed"] = summary.Passed();
  report["failed"] = summary.Failed();
  report["cancelled"] = summary.Cancelled();
  report["runs"] = summary.Runs();
  report["units_run_again"] = summary.RunAgain();
  report["passed_first_run"] = summary.PassedFirstRun();
  report["pass_rate"] = OrNull(summary.PassRate());
  report["units_per_hour"] = OrNull(summary.UnitsPerHour());
  report["median_pass_seconds"] = OrNull(summary.MedianPassSeconds());
  report["p90_pass_seconds"] = OrNull(summary.NinetiethPassSeconds());
  report["resends"] = summary.Resends();
  report["bytes_sent"] = summary.BytesSent();
  Json hours = Json::array();
  for (const HourCount& hour : summary.Hours()) {
    hours.push_back({{"hour", HourText(hour)},
                     {"units", hour.units},
                     {"passed", hour.passed},
                     {"failed", hour.failed},
                     {"cancelled", hour.cancelled}});
  }
  report["hours"] = std::move(hours);
  report["runs_without_time"] = summary.RunsWithoutTime();
  Json errors = Json::array();
  for (const ErrorGroup& group : summary.Errors()) {
    errors.push_back({{"error", group.error.empty() ? Json(nullptr) : Json(group.error)},
                      {"units", group.macs.size()},
                      {"runs", group.runs},
                      {"macs", group.macs}});
  }
  report["errors"] = std::move(errors);
  Json failed = Json::array();
  for (const UnitResult& unit : summary.FailedUnits()) failed.push_back(Unit(unit));
  report["failed_units"] = std::move(failed);
  Json slowest = Json::array();
  for (const UnitResult& unit : summary.Slowest()) slowest.push_back(Unit(unit));
  report["slowest"] = std::move(slowest);
  Json unfinished = Json::array();
  for (const UnfinishedRun& run : summary.Unfinished()) {
    unfinished.push_back({{"mac", run.mac}, {"started", UtcTimeText(run.startedMs)}});
  }
  report["unfinished"] = std::move(unfinished);
  Json scripts = Json::array();
  for (const ScriptSeen& script : summary.Scripts()) {
    scripts.push_back({{"path", script.path},
                       {"sha256", script.sha256},
                       {"runs", script.runs},
                       {"first", TimeOrNull(script.firstMs)},
                       {"last", TimeOrNull(script.lastMs)},
                       {"path_has_other_digests", script.pathHasOtherDigests}});
  }
  report["scripts"] = std::move(scripts);
  Json versions = Json::array();
  for (const VersionSeen& version : summary.Versions()) {
    versions.push_back({{"qorctl", version.version}, {"runs", version.runs}});
  }
  report["qorctl_versions"] = std::move(versions);
  return report;
}

}  // namespace qor::cli
