#include "tools/qorctl/ReportText.h"

#include <algorithm>
#include <cmath>

#include "platform/Format.h"
#include "station/RecordSummary.h"

namespace qor::cli {
namespace {

constexpr size_t kBarWidth = 36;

std::string Joined(const std::vector<std::string>& items, const char* separator) {
  std::string joined;
  for (const std::string& item : items) {
    if (!joined.empty()) joined += separator;
    joined += ShownText(item);
  }
  return joined;
}

// A bar part for count of most, at least one mark when there is any.
size_t Marks(size_t count, size_t most) {
  if (count == 0 || most == 0) return 0;
  const auto marks = static_cast<size_t>(
      std::lround(static_cast<double>(count) * kBarWidth / static_cast<double>(most)));
  return std::max<size_t>(marks, 1);
}

std::string Figures(const RecordSummary& summary, const ReportHeading& heading) {
  std::string out = "QOR production report\n";
  out += Format("Record:          %s (%s", Joined(heading.files, ", ").c_str(),
                CountText(heading.lines, "line", "lines").c_str());
  out += heading.skipped > 0 ? Format(", %zu skipped)\n", heading.skipped) : std::string(")\n");
  if (summary.FirstStartMs()) {
    out += Format("Span:            %s to %s (%s), %s\n",
                  WallMinuteText(summary, *summary.FirstStartMs()).c_str(),
                  WallMinuteText(summary, *summary.LastEndMs()).c_str(),
                  SpanText(*summary.LastEndMs() - *summary.FirstStartMs()).c_str(),
                  heading.zone.c_str());
  }
  out += '\n';
  const size_t units = summary.Units().size();
  out +=
      Format("Units:           %zu (%s", units, CountText(summary.Runs(), "run", "runs").c_str());
  out += summary.RunAgain() > 0
             ? Format("; %s more than once)\n",
                      CountText(summary.RunAgain(), "unit was run", "units were run").c_str())
             : std::string(")\n");
  out += Format("  passed         %zu\n", summary.Passed());
  out += Format("  failed         %zu\n", summary.Failed());
  out += Format("  cancelled      %zu\n", summary.Cancelled());
  if (summary.PassRate()) {
    out += Format("Pass rate:       %s (passed of passed and failed units)\n",
                  PercentText(*summary.PassRate()).c_str());
  }
  if (units > 0) {
    out += Format(
        "First-run pass:  %s (%zu of %zu units passed with their first run)\n",
        PercentText(static_cast<double>(summary.PassedFirstRun()) / static_cast<double>(units))
            .c_str(),
        summary.PassedFirstRun(), units);
  }
  if (summary.UnitsPerHour()) {
    out += Format("Units per hour:  %.1f\n", *summary.UnitsPerHour());
  }
  if (summary.MedianPassSeconds()) {
    out += Format("Run time:        median %s, 90 %% within %s (passed runs)\n",
                  SecondsText(*summary.MedianPassSeconds()).c_str(),
                  SecondsText(*summary.NinetiethPassSeconds()).c_str());
  }
  if (summary.Resends() > 0) {
    out +=
        Format("Resends:         %llu in %s\n", static_cast<unsigned long long>(summary.Resends()),
               CountText(summary.RunsWithResends(), "run", "runs").c_str());
  }
  if (summary.BytesSent() > 0) {
    out += Format("Sent:            %s\n", BytesText(summary.BytesSent()).c_str());
  }
  if (!summary.Unfinished().empty()) {
    out += Format("Unfinished:      %s started and never ended (the station stopped during %s)\n",
                  CountText(summary.Unfinished().size(), "run", "runs").c_str(),
                  summary.Unfinished().size() == 1 ? "it" : "them");
    for (const UnfinishedRun& run : summary.Unfinished()) {
      out += Format("  %s started %s\n", ShownText(run.mac).c_str(),
                    WallSecondText(summary, run.startedMs).c_str());
    }
  }
  return out;
}

std::string Hours(const RecordSummary& summary) {
  const std::vector<HourCount>& hours = summary.Hours();
  if (hours.empty()) return {};
  size_t most = 0;
  for (const HourCount& hour : hours) most = std::max(most, hour.Runs());
  std::string out = "\nHour by hour: units finished; runs # passed, x failed, - cancelled\n";
  out += "  Hour              Units Passed Failed Cancelled\n";
  for (const HourCount& hour : hours) {
    std::string bar = std::string(Marks(hour.passed, most), '#') +
                      std::string(Marks(hour.failed, most), 'x') +
                      std::string(Marks(hour.cancelled, most), '-');
    out += Format("  %s  %5zu %6zu %6zu %9zu  %s", ClockMinuteText(hour.wallStartMs).c_str(),
                  hour.units, hour.passed, hour.failed, hour.cancelled, bar.c_str());
    while (!out.empty() && out.back() == ' ') out.pop_back();
    out += '\n';
  }
  if (summary.RunsWithoutTime() > 0) {
    out += Format("  (%s without an end time not shown)\n",
                  CountText(summary.RunsWithoutTime(), "run", "runs").c_str());
  }
  return out;
}

std::string Failures(const RecordSummary& summary) {
  std::string out;
  if (!summary.Errors().empty()) {
    out += "\nErrors: the units whose last run failed with it, and every run that did\n";
    out += "  Units  Runs  Error\n";
  }
  for (const ErrorGroup& group : summary.Errors()) {
    out += Format("  %5zu %5zu  %s\n", group.macs.size(), group.runs,
                  group.error.empty() ? "(no error text)" : ShownText(group.error).c_str());
  }
  if (summary.FailedUnits().empty()) return out;
  out += Format("\nFailed units (%zu)\n  MAC                Runs  Ended             Error\n",
                summary.FailedUnits().size());
  for (const UnitResult& unit : summary.FailedUnits()) {
    const std::string ended =
        unit.last.endedMs ? WallMinuteText(summary, *unit.last.endedMs) : std::string("-");
    out += Format("  %-17s %5zu  %-16s  %s\n", ShownText(unit.last.mac).c_str(), unit.runs,
                  ended.c_str(),
                  unit.last.error.empty() ? "(no error text)" : ShownText(unit.last.error).c_str());
  }
  return out;
}

std::string Slowest(const RecordSummary& summary) {
  if (summary.Slowest().empty()) return {};
  std::string out = "\nSlowest units (their last run)\n";
  out += "  MAC                Time         Outcome    Ended\n";
  for (const UnitResult& unit : summary.Slowest()) {
    const std::string ended =
        unit.last.endedMs ? WallMinuteText(summary, *unit.last.endedMs) : std::string("-");
    out += Format("  %-17s  %-11s  %-9s  %s\n", ShownText(unit.last.mac).c_str(),
                  SecondsText(*unit.last.seconds).c_str(), RecordOutcomeName(unit.last.outcome),
                  ended.c_str());
  }
  return out;
}

std::string Scripts(const RecordSummary& summary) {
  std::string out;
  if (!summary.Scripts().empty()) out += "\nScripts\n";
  for (const ScriptSeen& script : summary.Scripts()) {
    out += Format("  %s%s\n", script.path.empty() ? "(no path)" : ShownText(script.path).c_str(),
                  script.pathHasOtherDigests ? "  (changed while the record was written)" : "");
    out += Format("    SHA-256 %s, %s",
                  script.sha256.empty() ? "(none)" : ShownText(script.sha256).c_str(),
                  CountText(script.runs, "run", "runs").c_str());
    if (script.firstMs) {
      out += Format(", %s to %s", WallMinuteText(summary, *script.firstMs).c_str(),
                    WallMinuteText(summary, *script.lastMs).c_str());
    }
    out += '\n';
  }
  if (!summary.Versions().empty()) out += "\nqorctl versions\n";
  for (const VersionSeen& version : summary.Versions()) {
    out += Format("  %-12s %s\n",
                  version.version.empty() ? "(none)" : ShownText(version.version).c_str(),
                  CountText(version.runs, "run", "runs").c_str());
  }
  return out;
}

}  // namespace

std::string ReportText(const RecordSummary& summary, const ReportHeading& heading) {
  return Figures(summary, heading) + Hours(summary) + Failures(summary) + Slowest(summary) +
         Scripts(summary);
}

}  // namespace qor::cli
