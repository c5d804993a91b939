#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qor {

// How a unit's run ended, as an end line says.
enum class RecordOutcome { kPassed, kFailed, kCancelled };

// "passed", "failed", "cancelled".
[[nodiscard]] const char* RecordOutcomeName(RecordOutcome outcome);

// Where a line was read: the file as it was named, and its line number from 1.
struct RecordPlace {
  std::string file;
  size_t line = 0;
};

// A start line: written before a unit's first request, so one without a matching end line is a
// run the station never finished (it stopped or crashed meanwhile).
struct RecordStart {
  std::string mac;
  std::optional<int64_t> timeMs;  // milliseconds since 1970-01-01 UTC
  std::string script;
  std::string scriptSha256;
  std::string qorctl;
  RecordPlace place;
};

// An end line: one run of one unit. Only mac and outcome must be there; what else is missing or
// of another type stays empty.
struct RecordEnd {
  std::string mac;
  RecordOutcome outcome = RecordOutcome::kFailed;
  std::optional<int64_t> startedMs;
  std::optional<int64_t> endedMs;
  std::optional<double> seconds;
  std::string error;  // empty when none
  std::optional<uint32_t> vendor;
  std::optional<uint32_t> product;
  std::string productName;
  std::string ipAfter;
  std::string script;
  std::string scriptSha256;
  std::string qorctl;
  std::optional<uint64_t> bytesSent;
  std::optional<uint64_t> resends;
  std::optional<bool> restartConfirmed;
  RecordPlace place;
};

// Why a line was left out.
enum class RecordSkipReason {
  kTornLastLine,  // the last line of a file, cut short (the writer stopped in the middle of it)
  kNotJson,
  kNotARecord,    // JSON, but not an object with a text "event"
  kUnknownEvent,  // neither "start" nor "end"
  kMissingField,  // a start or end line without a usable mac, or an end line without an outcome
  kDuplicate,     // the same run's line again (a file given twice, or copies that overlap)
};

// "torn last line", "not JSON", ...
[[nodiscard]] const char* RecordSkipReasonText(RecordSkipReason reason);

struct RecordSkip {
  RecordPlace place;
  RecordSkipReason reason = RecordSkipReason::kNotJson;
  std::string detail;  // what was wrong, for a missing field or an unknown event
};

// Reads station records (JSON Lines of start and end lines) from one or several files into one
// list of runs, in the order read. Blank lines are ignored; unknown fields too. A line that
// cannot be used is kept aside with its reason, so the caller can say what was left out.
class RecordReader {
 public:
  RecordReader();
  ~RecordReader();
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;

  // Adds the lines of the file at path. Throws Exception ("Cannot open "x"") when it cannot be
  // read at all; nothing of it is then added.
  void ReadFile(const std::string& path);
  // Adds the lines of in, named name where a place is given.
  void ReadStream(const std::string& name, std::istream& in);
  void ReadText(const std::string& name, const std::string& text);

  [[nodiscard]] const std::vector<RecordStart>& Starts() const;
  [[nodiscard]] const std::vector<RecordEnd>& Ends() const;
  [[nodiscard]] const std::vector<RecordSkip>& Skipped() const;
  // Lines that were not blank, whether taken or skipped.
  [[nodiscard]] size_t Lines() const;
  // The files (or names) read, in order.
  [[nodiscard]] const std::vector<std::string>& Files() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qor
