// Station records as a file given to qorctl report may hold them: anything at all, read as
// lines. Every line is taken or left out with a reason, and the summary's figures add up.
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "station/RecordReader.h"
#include "station/RecordSummary.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qor::RecordReader record;
  record.ReadText("fuzz", std::string(reinterpret_cast<const char*>(data), size));
  if (record.Starts().size() + record.Ends().size() + record.Skipped().size() != record.Lines()) {
    qor::fuzz::Broken("a line neither taken nor left out");
  }
  qor::RecordSummaryOptions options;
  // A wall clock half an hour off a whole hour, to reach the offset's arithmetic.
  options.utcOffsetMs = [](int64_t) { return int64_t{19'800'000}; };
  const qor::RecordSummary summary(record, options);
  if (summary.Passed() + summary.Failed() + summary.Cancelled() != summary.Units().size()) {
    qor::fuzz::Broken("units by outcome do not add up to the units");
  }
  size_t runs = 0;
  for (const qor::UnitResult& unit : summary.Units()) runs += unit.runs;
  if (runs != summary.Runs() || runs != record.Ends().size()) {
    qor::fuzz::Broken("the units' runs are not the end lines");
  }
  size_t hourRuns = summary.RunsWithoutTime();
  size_t hourUnits = 0;
  for (const qor::HourCount& hour : summary.Hours()) {
    hourRuns += hour.Runs();
    hourUnits += hour.units;
  }
  if (hourRuns != summary.Runs() || hourUnits > summary.Units().size()) {
    qor::fuzz::Broken("the hours lose or invent runs");
  }
  size_t failed = 0;
  for (const qor::ErrorGroup& group : summary.Errors()) failed += group.macs.size();
  if (failed != summary.Failed() || summary.FailedUnits().size() != summary.Failed()) {
    qor::fuzz::Broken("the errors are not those of the failed units");
  }
  if (const auto rate = summary.PassRate(); rate && (*rate < 0 || *rate > 1)) {
    qor::fuzz::Broken("a pass rate outside 0 to 1");
  }
  return 0;
}
