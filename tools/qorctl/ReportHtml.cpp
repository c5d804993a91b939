#include "tools/qorctl/ReportHtml.h"

#include <algorithm>
#include <cmath>

#include "platform/Format.h"
#include "station/RecordSummary.h"
#include "station/RecordTime.h"

namespace qor::cli {
namespace {

// Colours that stay apart for the colour-blind and on a grey-scale print (light, dark, mid).
constexpr const char* kPassColour = "#3a9a5b";
constexpr const char* kFailColour = "#c8372d";
constexpr const char* kCancelColour = "#a3adb8";

// A list of MACs is cut after this many, with a count of the rest.
constexpr size_t kMacsShown = 8;

constexpr const char* kStyle = R"(
:root { --ink: #1f2933; --muted: #5f6b7a; --line: #d8dee6; --soft: #f5f7fa;
  --accent: #1d4f7c; --pass: #3a9a5b; --fail: #c8372d; --cancel: #a3adb8; }
* { box-sizing: border-box; }
html { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
body { margin: 0 auto; max-width: 1100px; padding: 28px 40px 36px; color: var(--ink);
  background: #fff; font: 14px/1.45 system-ui, -apple-system, "Segoe UI", Roboto,
  "Helvetica Neue", Arial, "Liberation Sans", sans-serif; }
header { display: flex; justify-content: space-between; align-items: flex-end; gap: 24px;
  border-bottom: 3px solid var(--accent); padding-bottom: 10px; margin-bottom: 18px; }
h1 { font-size: 25px; margin: 0; letter-spacing: -0.01em; }
header .span { color: var(--muted); margin: 3px 0 0; }
header .made { color: var(--muted); font-size: 12px; text-align: right; margin: 0; }
h2 { font-size: 13px; text-transform: uppercase; letter-spacing: 0.07em; color: var(--accent);
  margin: 26px 0 8px; padding-bottom: 4px; border-bottom: 1px solid var(--line); }
h2 .count { color: var(--muted); font-weight: normal; }
.tiles { display: grid; grid-template-columns: repeat(4, 1fr); gap: 10px; }
.tile { border: 1px solid var(--line); border-left: 5px solid var(--accent); border-radius: 5px;
  padding: 8px 12px 9px; }
.tile.pass { border-left-color: var(--pass); }
.tile.fail { border-left-color: var(--fail); }
.tile.cancel { border-left-color: var(--cancel); }
.tile .label { display: block; font-size: 11.5px; color: var(--muted); text-transform: uppercase;
  letter-spacing: 0.05em; }
.tile .value { display: block; font-size: 27px; font-weight: 650; line-height: 1.2;
  font-variant-numeric: tabular-nums; }
.tile .note { display: block; font-size: 12px; color: var(--muted); }
.chart svg { display: block; width: 100%; height: auto; }
.columns { display: grid; grid-template-columns: 1fr 1fr; gap: 0 28px; }
table { width: 100%; border-collapse: collapse; font-variant-numeric: tabular-nums; }
th { text-align: left; font-size: 11.5px; font-weight: 600; color: var(--muted);
  border-bottom: 2px solid var(--line); padding: 5px 8px; }
td { border-bottom: 1px solid var(--line); padding: 4px 8px; vertical-align: baseline; }
tbody tr:nth-child(even) td { background: var(--soft); }
.n { text-align: right; white-space: nowrap; }
table.compact { width: auto; min-width: 55%; }
table.compact td, table.compact th { padding-left: 14px; padding-right: 14px; }
.chart table { margin-top: 6px; }
.nowrap { white-space: nowrap; }
.mono { font-family: ui-monospace, "SF Mono", Menlo, Consolas, "DejaVu Sans Mono",
  "Liberation Mono", monospace; font-size: 12.5px; }
.wrap { overflow-wrap: anywhere; }
.error { color: #8c1d16; }
.macs { color: var(--muted); font-size: 12.5px; }
.badge { display: inline-block; padding: 0 7px; border-radius: 9px; font-size: 12px;
  font-weight: 600; }
.badge.passed { background: #e2f3e8; color: #1f6b3b; }
.badge.failed { background: #fbe5e3; color: #9b2119; }
.badge.cancelled { background: #edf0f3; color: #4b5663; }
.warn { color: #9b2119; font-weight: 600; font-size: 12.5px; }
.empty { color: var(--muted); font-style: italic; }
.legend { color: var(--muted); font-size: 12px; margin: 6px 0 0; }
.notes li { margin: 2px 0; }
footer { margin-top: 30px; padding-top: 8px; border-top: 1px solid var(--line); color: var(--muted);
  font-size: 12px; }
@page { size: A4; margin: 14mm 12mm; }
@media print {
  body { max-width: none; padding: 0; font-size: 10pt; }
  .tile .value { font-size: 20pt; }
  section { break-inside: avoid-page; }
  section.long { break-inside: auto; }
  h2 { break-after: avoid-page; }
  thead { display: table-header-group; }
  tr { break-inside: avoid; }
}
@media screen and (max-width: 760px) {
  body { padding: 16px; }
  .tiles { grid-template-columns: repeat(2, 1fr); }
  .columns { grid-template-columns: 1fr; }
}
)";

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string Html(const std::string& text) { return HtmlText(text); }

std::string OrNone(const std::string& text, const char* none) {
  return text.empty() ? Format("<span class=\"empty\">%s</span>", none) : Html(text);
}

std::string Ended(const RecordSummary& summary, const RecordEnd& run) {
  return run.endedMs ? WallMinuteText(summary, *run.endedMs) : std::string("&ndash;");
}

std::string Badge(RecordOutcome outcome) {
  const char* name = RecordOutcomeName(outcome);
  return Format("<span class=\"badge %s\">%s</span>", name, name);
}

std::string Product(const RecordEnd& run) {
  if (!run.productName.empty()) return Html(run.productName);
  if (run.vendor && run.product) return Format("0x%04X:0x%04X", *run.vendor, *run.product);
  return "&ndash;";
}

std::string Tile(const char* kind, const char* label, const std::string& value,
                 const std::string& note) {
  return Format(
      "<div class=\"tile%s%s\"><span class=\"label\">%s</span><span class=\"value\">%s</span>"
      "<span class=\"note\">%s</span></div>\n",
      *kind ? " " : "", kind, label, value.c_str(), note.empty() ? "&nbsp;" : note.c_str());
}

std::string Share(size_t count, size_t of) {
  return of == 0 ? std::string()
                 : PercentText(static_cast<double>(count) / static_cast<double>(of)) + " of units";
}

std::string Header(const RecordSummary& summary, const ReportHeading& heading) {
  std::string span = "No times in the record";
  if (summary.FirstStartMs()) {
    span = Format("%s to %s &middot; %s &middot; %s",
                  WallMinuteText(summary, *summary.FirstStartMs()).c_str(),
                  WallMinuteText(summary, *summary.LastEndMs()).c_str(),
                  SpanText(*summary.LastEndMs() - *summary.FirstStartMs()).c_str(),
                  Html(heading.zone).c_str());
  }
  return Format(
      "<header><div><h1>Production report</h1><p class=\"span\">%s</p></div>"
      "<p class=\"made\">Made %s<br>qorctl %s</p></header>\n",
      span.c_str(), Html(heading.made).c_str(), Html(heading.version).c_str());
}

std::string Tiles(const RecordSummary& summary) {
  const size_t units = summary.Units().size();
  std::string out = "<section class=\"tiles\">\n";
  out +=
      Tile("", "Units", std::to_string(units),
           CountText(summary.Runs(), "run", "runs") +
               (summary.RunAgain() > 0 ? Format(", %zu %s again", summary.RunAgain(),
                                                summary.RunAgain() == 1 ? "unit run" : "units run")
                                       : std::string()));
  out += Tile("pass", "Passed", std::to_string(summary.Passed()), Share(summary.Passed(), units));
  out += Tile("fail", "Failed", std::to_string(summary.Failed()), Share(summary.Failed(), units));
  out += Tile("cancel", "Cancelled", std::to_string(summary.Cancelled()),
              Share(summary.Cancelled(), units));
  out += Tile("", "Pass rate", summary.PassRate() ? PercentText(*summary.PassRate()) : "&ndash;",
              "passed of passed and failed");
  out += Tile("", "First-run pass",
              units > 0 ? PercentText(static_cast<double>(summary.PassedFirstRun()) /
                                      static_cast<double>(units))
                        : "&ndash;",
              Format("%zu of %zu units", summary.PassedFirstRun(), units));
  out += Tile("", "Units per hour",
              summary.UnitsPerHour() ? Format("%.1f", *summary.UnitsPerHour()) : "&ndash;",
              summary.FirstStartMs()
                  ? "over " + SpanText(*summary.LastEndMs() - *summary.FirstStartMs())
                  : std::string());
  out += Tile("", "Median run",
              summary.MedianPassSeconds() ? SecondsText(*summary.MedianPassSeconds()) : "&ndash;",
              summary.NinetiethPassSeconds()
                  ? "90 % within " + SecondsText(*summary.NinetiethPassSeconds())
                  : std::string());
  return out + "</section>\n";
}

// A round step for an axis up to most with at most five steps: 1, 2, 5, 10, 20, 50...
size_t AxisStep(size_t most) {
  for (size_t scale = 1;; scale *= 10) {
    for (const size_t step : {scale, 2 * scale, 5 * scale}) {
      if (most <= step * 5) return step;
    }
  }
}

std::string Chart(const RecordSummary& summary) {
  const std::vector<HourCount>& hours = summary.Hours();
  const double width = 1000;
  const double height = 340;
  const double left = 50;
  const double right = 14;
  const double top = 40;
  const double bottom = 54;
  const double plotWidth = width - left - right;
  const double plotHeight = height - top - bottom;
  size_t most = 1;
  size_t passed = 0;
  size_t failed = 0;
  size_t cancelled = 0;
  for (const HourCount& hour : hours) {
    most = std::max(most, hour.Runs());
    passed += hour.passed;
    failed += hour.failed;
    cancelled += hour.cancelled;
  }
  const size_t step = AxisStep(most);
  const size_t scaleTop = (most + step - 1) / step * step;
  const auto y = [&](double value) {
    return top + plotHeight - value / static_cast<double>(scaleTop) * plotHeight;
  };

  std::string out = Format(
      "<svg viewBox=\"0 0 %.0f %.0f\" role=\"img\" "
      "aria-labelledby=\"chart-title\" font-size=\"14\" fill=\"#1f2933\">\n"
      "<title id=\"chart-title\">Runs per hour: %zu passed, %zu failed, %zu cancelled</title>\n",
      width, height, passed, failed, cancelled);
  // Legend.
  double legendX = left;
  for (const auto& [colour, label] :
       {std::pair{kPassColour, "Passed"}, std::pair{kFailColour, "Failed"},
        std::pair{kCancelColour, "Cancelled"}}) {
    out += Format(
        "<rect x=\"%.1f\" y=\"7\" width=\"13\" height=\"13\" rx=\"2\" fill=\"%s\"/>"
        "<text x=\"%.1f\" y=\"18.5\">%s</text>\n",
        legendX, colour, legendX + 19, label);
    legendX += 34 + 8.5 * static_cast<double>(std::char_traits<char>::length(label));
  }
  out += Format(
      "<text x=\"%.1f\" y=\"18.5\" text-anchor=\"end\" fill=\"#5f6b7a\">runs ended "
      "per hour</text>\n",
      width - right);
  // Grid and scale.
  for (size_t value = 0; value <= scaleTop; value += step) {
    const double at = y(static_cast<double>(value));
    out += Format(
        "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
        "stroke-width=\"1\"/><text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\" "
        "fill=\"#5f6b7a\">%zu</text>\n",
        left, at, width - right, at, value == 0 ? "#9aa5b1" : "#e4e8ee", left - 8, at + 4, value);
  }
  if (hours.empty()) {
    out += Format(
        "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" fill=\"#5f6b7a\">No run "
        "ended in the record</text>\n",
        left + plotWidth / 2, top + plotHeight / 2);
    return out + "</svg>\n";
  }
  const double slot = plotWidth / static_cast<double>(hours.size());
  const double barWidth = std::min(slot * 0.72, 56.0);
  const bool totals = hours.size() <= 36;
  const size_t labelEvery = (hours.size() + 15) / 16;
  int lastLabelDay = -1;
  for (size_t i = 0; i < hours.size(); ++i) {
    const HourCount& hour = hours[i];
    const double x = left + static_cast<double>(i) * slot + (slot - barWidth) / 2;
    double base = static_cast<double>(0);
    for (const auto& [count, colour] :
         {std::pair{hour.passed, kPassColour}, std::pair{hour.failed, kFailColour},
          std::pair{hour.cancelled, kCancelColour}}) {
      if (count == 0) continue;
      const double from = y(base);
      base += static_cast<double>(count);
      // A single run among hundreds still shows.
      const double to = std::min(y(base), from - 1.5);
      out += Format(
          "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\"><title>%s: "
          "%zu</title></rect>\n",
          x, to, barWidth, from - to, colour, ClockMinuteText(hour.wallStartMs).c_str(), count);
    }
    if (totals && hour.Runs() > 0) {
      out += Format(
          "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" font-size=\"13\" "
          "fill=\"#5f6b7a\">%zu</text>\n",
          x + barWidth / 2, y(base) - 5, hour.Runs());
    }
    if (i % labelEvery != 0) continue;
    const CivilTime time = ToCivilTime(hour.wallStartMs);
    out += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%02u:00</text>\n",
                  x + barWidth / 2, top + plotHeight + 18, time.hour);
    const int day =
        time.year * 400 + static_cast<int>(time.month) * 32 + static_cast<int>(time.day);
    if (day != lastLabelDay) {
      out += Format(
          "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" fill=\"#5f6b7a\" "
          "font-size=\"13\">%u %s</text>\n",
          x + barWidth / 2, top + plotHeight + 35, time.day, kMonths[time.month - 1]);
      lastLabelDay = day;
    }
  }
  return out + "</svg>\n";
}

std::string HourTable(const RecordSummary& summary) {
  std::string out =
      "<table class=\"compact\"><thead><tr><th>Hour</th><th class=\"n\">Units</th>"
      "<th class=\"n\">Passed</th><th class=\"n\">Failed</th><th class=\"n\">Cancelled</th>"
      "<th class=\"n\">Runs passed</th></tr></thead><tbody>\n";
  for (const HourCount& hour : summary.Hours()) {
    const size_t judged = hour.passed + hour.failed;
    out += Format(
        "<tr><td class=\"nowrap\">%s</td><td class=\"n\">%zu</td><td class=\"n\">%zu</td>"
        "<td class=\"n\">%zu</td><td class=\"n\">%zu</td><td class=\"n\">%s</td></tr>\n",
        ClockMinuteText(hour.wallStartMs).c_str(), hour.units, hour.passed, hour.failed,
        hour.cancelled,
        judged > 0
            ? PercentText(static_cast<double>(hour.passed) / static_cast<double>(judged)).c_str()
            : "&ndash;");
  }
  return out +
         "</tbody></table>\n<p class=\"legend\">Units: those whose last run ended in the hour. "
         "Passed, failed, cancelled: the runs that ended in it; runs passed: of those passed and "
         "failed.</p>\n";
}

std::string Macs(const std::vector<std::string>& macs) {
  std::string out;
  for (size_t i = 0; i < macs.size() && i < kMacsShown; ++i) {
    if (i > 0) out += ", ";
    out += Html(macs[i]);
  }
  if (macs.size() > kMacsShown) out += Format(" and %zu more", macs.size() - kMacsShown);
  return out;
}

std::string Failures(const RecordSummary& summary) {
  std::string out;
  if (!summary.Errors().empty()) {
    out +=
        "<section><h2>Errors</h2>\n<table><thead><tr><th class=\"n\">Units</th>"
        "<th class=\"n\">Runs</th><th>Error</th></tr></thead><tbody>\n";
    for (const ErrorGroup& group : summary.Errors()) {
      out += Format(
          "<tr><td class=\"n\">%zu</td><td class=\"n\">%zu</td><td><span class=\"error "
          "wrap\">%s</span>%s%s</td></tr>\n",
          group.macs.size(), group.runs, OrNone(group.error, "no error text").c_str(),
          group.macs.empty() ? "" : "<br><span class=\"macs mono\">",
          group.macs.empty() ? "" : (Macs(group.macs) + "</span>").c_str());
    }
    out +=
        "</tbody></table>\n<p class=\"legend\">Units: those whose last run failed with the "
        "error. Runs: every run that failed with it, those of units run again since "
        "included.</p></section>\n";
  }
  if (summary.FailedUnits().empty()) {
    return out + "<section><h2>Failed units</h2><p class=\"empty\">No unit failed.</p></section>\n";
  }
  out += Format(
      "<section class=\"long\"><h2>Failed units <span class=\"count\">(%zu)</span></h2>\n"
      "<table><thead><tr><th>MAC</th><th>Product</th><th class=\"n\">Runs</th><th>Ended</th>"
      "<th>Error</th></tr></thead><tbody>\n",
      summary.FailedUnits().size());
  for (const UnitResult& unit : summary.FailedUnits()) {
    out += Format(
        "<tr><td class=\"mono nowrap\">%s</td><td class=\"nowrap\">%s</td><td class=\"n\">%zu</td>"
        "<td class=\"nowrap\">%s</td><td class=\"error wrap\">%s</td></tr>\n",
        Html(unit.last.mac).c_str(), Product(unit.last).c_str(), unit.runs,
        Ended(summary, unit.last).c_str(), OrNone(unit.last.error, "no error text").c_str());
  }
  return out + "</tbody></table></section>\n";
}

std::string Slowest(const RecordSummary& summary) {
  std::string out = "<section><h2>Slowest units</h2>\n";
  if (summary.Slowest().empty()) return out + "<p class=\"empty\">None.</p></section>\n";
  out +=
      "<table class=\"compact\"><thead><tr><th>MAC</th><th>Product</th><th class=\"n\">Time</th>"
      "<th>Outcome</th>"
      "<th>Ended</th></tr></thead><tbody>\n";
  for (const UnitResult& unit : summary.Slowest()) {
    out += Format(
        "<tr><td class=\"mono nowrap\">%s</td><td class=\"nowrap\">%s</td><td "
        "class=\"n\">%s</td><td>%s</td>"
        "<td class=\"nowrap\">%s</td></tr>\n",
        Html(unit.last.mac).c_str(), Product(unit.last).c_str(),
        SecondsText(*unit.last.seconds).c_str(), Badge(unit.last.outcome).c_str(),
        Ended(summary, unit.last).c_str());
  }
  return out + "</tbody></table></section>\n";
}

std::string Scripts(const RecordSummary& summary) {
  std::string out = "<section><h2>Scripts</h2>\n";
  if (summary.Scripts().empty()) return out + "<p class=\"empty\">None.</p></section>\n";
  out +=
      "<table><thead><tr><th>Script</th><th>SHA-256</th><th class=\"n\">Runs</th>"
      "<th>First</th><th>Last</th></tr></thead><tbody>\n";
  for (const ScriptSeen& script : summary.Scripts()) {
    out += Format(
        "<tr><td><span class=\"mono wrap\">%s</span>%s</td><td class=\"mono wrap\">%s</td>"
        "<td class=\"n\">%zu</td><td class=\"nowrap\">%s</td><td class=\"nowrap\">%s</td></tr>\n",
        OrNone(script.path, "no path").c_str(),
        script.pathHasOtherDigests
            ? "<br><span class=\"warn\">changed while the record was written</span>"
            : "",
        OrNone(script.sha256, "none").c_str(), script.runs,
        script.firstMs ? WallMinuteText(summary, *script.firstMs).c_str() : "&ndash;",
        script.lastMs ? WallMinuteText(summary, *script.lastMs).c_str() : "&ndash;");
  }
  return out + "</tbody></table></section>\n";
}

std::string VersionsAndNotes(const RecordSummary& summary, const ReportHeading& heading) {
  std::string out = "<div class=\"columns\"><section><h2>qorctl versions</h2>\n";
  out += "<table><thead><tr><th>Version</th><th class=\"n\">Runs</th></tr></thead><tbody>\n";
  for (const VersionSeen& version : summary.Versions()) {
    out += Format("<tr><td>%s</td><td class=\"n\">%zu</td></tr>\n",
                  OrNone(version.version, "not named").c_str(), version.runs);
  }
  out += "</tbody></table></section>\n";

  std::vector<std::string> notes;
  if (summary.Resends() > 0) {
    notes.push_back(Format("%llu resends in %s.",
                           static_cast<unsigned long long>(summary.Resends()),
                           CountText(summary.RunsWithResends(), "run", "runs").c_str()));
  }
  if (summary.BytesSent() > 0) {
    notes.push_back(Format("%s sent to the units.", BytesText(summary.BytesSent()).c_str()));
  }
  for (const UnfinishedRun& run : summary.Unfinished()) {
    notes.push_back(Format(
        "<span class=\"warn\">Unfinished:</span> <span class=\"mono\">%s</span> started %s and "
        "never ended (the station stopped during its run).",
        Html(run.mac).c_str(), WallSecondText(summary, run.startedMs).c_str()));
  }
  if (summary.RunsWithoutTime() > 0) {
    notes.push_back(Format("%s without an end time, not in the chart.",
                           CountText(summary.RunsWithoutTime(), "run", "runs").c_str()));
  }
  for (const std::string& note : heading.notes) notes.push_back(Html(note));
  out += "<section><h2>Notes</h2>\n";
  if (notes.empty()) {
    out += "<p class=\"empty\">Nothing to note.</p>";
  } else {
    out += "<ul class=\"notes\">\n";
    for (const std::string& note : notes) out += "<li>" + note + "</li>\n";
    out += "</ul>";
  }
  return out + "</section></div>\n";
}

std::string Footer(const ReportHeading& heading) {
  std::string files;
  for (const std::string& file : heading.files) {
    if (!files.empty()) files += ", ";
    files += "<span class=\"mono wrap\">" + Html(file) + "</span>";
  }
  std::string lines = CountText(heading.lines, "line", "lines");
  if (heading.skipped > 0) lines += Format(", %zu left out", heading.skipped);
  return Format("<footer>From %s (%s). Times: %s.</footer>\n", files.c_str(), lines.c_str(),
                Html(heading.zone).c_str());
}

}  // namespace

std::string HtmlText(const std::string& text) {
  std::string out;
  const std::string shown = ShownText(text);
  out.reserve(shown.size());
  for (const char c : shown) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string ReportHtml(const RecordSummary& summary, const ReportHeading& heading) {
  std::string title = "Production report";
  if (summary.FirstStartMs()) {
    title += ", " + WallMinuteText(summary, *summary.FirstStartMs()).substr(0, 10);
  }
  std::string out = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  out += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  out += "<title>" + title + "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n";
  out += Header(summary, heading);
  out += Tiles(summary);
  out += "<section class=\"chart\"><h2>Runs per hour</h2>\n" + Chart(summary);
  if (!summary.Hours().empty()) out += HourTable(summary);
  out += "</section>\n";
  out += Failures(summary);
  out += Slowest(summary);
  out += Scripts(summary);
  out += VersionsAndNotes(summary, heading);
  out += Footer(heading);
  return out + "</body>\n</html>\n";
}

}  // namespace qor::cli
