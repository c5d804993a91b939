#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "QorVersion.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Format.h"
#include "station/RecordReader.h"
#include "station/RecordSummary.h"
#include "station/RecordTime.h"
#include "tools/cli/NumberValidators.h"
#include "tools/qorctl/Commands.h"
#include "tools/qorctl/JsonWriter.h"
#include "tools/qorctl/ReportFigures.h"
#include "tools/qorctl/ReportHtml.h"
#include "tools/qorctl/ReportJson.h"
#include "tools/qorctl/ReportText.h"

namespace qor::cli {
namespace {

// Places of skipped lines named per reason; the rest are counted.
constexpr size_t kPlacesNamed = 5;

struct ReportOptions {
  std::vector<std::string> records;
  std::string html;
  bool json = false;
  bool utc = false;
  size_t slowest = 10;
};

// The machine's wall clock at a time: its offset from UTC, daylight saving time included.
int64_t LocalOffsetMs(int64_t utcMs) {
  const int64_t seconds = utcMs >= 0 ? utcMs / 1000 : -((-utcMs + 999) / 1000);
  const auto time = static_cast<std::time_t>(seconds);
  const std::tm* local = std::localtime(&time);
  if (local == nullptr) return 0;
  CivilTime civil;
  civil.year = local->tm_year + 1900;
  civil.month = static_cast<unsigned>(local->tm_mon + 1);
  civil.day = static_cast<unsigned>(local->tm_mday);
  civil.hour = static_cast<unsigned>(local->tm_hour);
  civil.minute = static_cast<unsigned>(local->tm_min);
  civil.second = static_cast<unsigned>(local->tm_sec > 59 ? 59 : local->tm_sec);
  return FromCivilTime(civil) - seconds * 1000;
}

// "not JSON (2): a.jsonl:17, a.jsonl:40", one per reason in the order of the reasons.
std::vector<std::string> SkipNotes(const std::vector<RecordSkip>& skipped) {
  std::map<RecordSkipReason, std::vector<const RecordSkip*>> byReason;
  for (const RecordSkip& skip : skipped) byReason[skip.reason].push_back(&skip);
  std::vector<std::string> notes;
  for (const auto& [reason, skips] : byReason) {
    std::string note = Format("%s (%zu): ", RecordSkipReasonText(reason), skips.size());
    for (size_t i = 0; i < skips.size() && i < kPlacesNamed; ++i) {
      if (i > 0) note += ", ";
      note += Format("%s:%zu", skips[i]->place.file.c_str(), skips[i]->place.line);
      if (!skips[i]->detail.empty()) note += " (" + skips[i]->detail + ")";
    }
    if (skips.size() > kPlacesNamed) note += Format(" and %zu more", skips.size() - kPlacesNamed);
    notes.push_back(std::move(note));
  }
  return notes;
}

std::string ZoneText(const RecordSummary& summary, bool utc, int64_t nowMs) {
  if (utc) return "UTC";
  const int64_t first = summary.UtcOffsetMs(summary.FirstStartMs().value_or(nowMs));
  const int64_t last = summary.UtcOffsetMs(summary.LastEndMs().value_or(nowMs));
  std::string zone = "local time, " + OffsetText(first);
  if (last != first) zone += " to " + OffsetText(last);
  return zone;
}

void WriteWhole(const std::string& path, const std::string& text) {
  if (path == "-") {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return;
  }
  std::FILE* file = OpenFile(path, "wb");
  if (file == nullptr) throw Exception(Format("Cannot write \"%s\"", path.c_str()));
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (std::fclose(file) != 0 || !written) {
    throw Exception(Format("Cannot write \"%s\"", path.c_str()));
  }
}

int MakeReport(const ReportOptions& options) {
  RecordReader record;
  for (const std::string& path : options.records) record.ReadFile(path);

  const std::vector<std::string> notes = SkipNotes(record.Skipped());
  if (!notes.empty()) {
    std::fprintf(stderr, "qorctl report: left out %zu of %s:\n", record.Skipped().size(),
                 CountText(record.Lines(), "line", "lines").c_str());
    for (const std::string& note : notes) std::fprintf(stderr, "  %s\n", ShownText(note).c_str());
  }
  if (record.Starts().empty() && record.Ends().empty()) {
    std::string files;
    for (const std::string& path : options.records) {
      files += (files.empty() ? "\"" : ", \"") + path + "\"";
    }
    std::fprintf(stderr, "No record line could be read from %s\n", ShownText(files).c_str());
    return 1;
  }

  RecordSummaryOptions summaryOptions;
  if (!options.utc) summaryOptions.utcOffsetMs = LocalOffsetMs;
  summaryOptions.slowestCount = options.slowest;
  const RecordSummary summary(record, summaryOptions);

  const int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
  ReportHeading heading;
  heading.files = record.Files();
  heading.lines = record.Lines();
  heading.skipped = record.Skipped().size();
  heading.zone = ZoneText(summary, options.utc, nowMs);
  heading.made = WallMinuteText(summary, nowMs);
  heading.version = kQorVersion;
  heading.notes = notes;

  if (!options.html.empty()) WriteWhole(options.html, ReportHtml(summary, heading));
  if (options.json) {
    std::string out;
    AppendJson(out, ReportJson(summary, heading));
    std::fprintf(stdout, "%s\n", out.c_str());
  } else if (options.html.empty()) {
    std::fputs(ReportText(summary, heading).c_str(), stdout);
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace

CommandRunner AddReportCommand(CLI::App& app) {
  auto options = std::make_shared<ReportOptions>();
  CLI::App* command = app.add_subcommand(
      "report", "Summarise production records (JSON Lines of the units run) for a line manager");
  command
      ->add_option("RECORD", options->records,
                   "Record files (JSON Lines) of one or several stations or shifts")
      ->required();
  command
      ->add_option("--html", options->html,
                   "Write the report to FILE as one HTML page that needs nothing else, to "
                   "open or print (- for standard output)")
      ->type_name("FILE");
  command->add_flag("--json", options->json,
                    "Print the figures as one JSON object instead of the text");
  command->add_flag("--utc", options->utc, "Give times in UTC instead of the local time");
  command
      ->add_option("--slowest", options->slowest,
                   "How many of the slowest units to list, from 0 to 1000 (default 10)")
      ->type_name("N")
      ->check(WholeNumber(0, 1000));
  command->footer(
      "A unit is a MAC: one run again after a failure counts once, with its last outcome, and "
      "the runs are counted apart. The pass rate is passed of passed and failed units "
      "(cancelled ones were stopped, not judged); units per hour are over the span from the "
      "first start to the last end; the chart and the table of hours count runs by the hour "
      "they ended.\n"
      "Several files merge into one report; a line read twice (a file given twice, or copies "
      "that overlap) counts once. Blank lines and unknown fields are ignored. Lines that cannot "
      "be used (a torn last line, a line that is not JSON, an end line without its MAC or "
      "outcome) are left out, and standard error says how many and where.\n"
      "Exit status: 0 when the report was made, 1 when a file cannot be read or no record line "
      "could be, 2 on a usage error.");
  return [options] {
    if (options->json && options->html == "-") {
      throw UsageError("--json and --html - would both write to standard output");
    }
    return MakeReport(*options);
  };
}

}  // namespace qor::cli
