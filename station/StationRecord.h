#pragma once

#include <memory>
#include <string>
#include <vector>

#include "station/RecordHistory.h"
#include "station/UnitRecord.h"

namespace qor {

// A station's record: a JSON Lines file of one start and one end line per unit, each on disk
// before the station takes its next step, so that a crash or a power cut loses at most the units
// in flight. A new station reads it to resume.
class StationRecord {
 public:
  // Opens the record at path (created when missing) and reads what it holds. A last line cut
  // short by a crash or a power cut is removed, and a line that is no record line is passed
  // over, each with a warning. Throws Exception when the file cannot be read or written, or
  // another program writes it.
  explicit StationRecord(const std::string& path);
  ~StationRecord();
  StationRecord(const StationRecord&) = delete;
  StationRecord& operator=(const StationRecord&) = delete;

  [[nodiscard]] const std::string& Path() const;
  [[nodiscard]] const RecordHistory& History() const;
  [[nodiscard]] const std::vector<std::string>& Warnings() const;

  // Each on disk before it returns, then in History. Throw Exception when it cannot be written.
  void Append(const StartRecord& start);
  void Append(const EndRecord& end);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// "qor-provision-20261209.jsonl", by the local date: one record a day unless one is named.
[[nodiscard]] std::string DefaultRecordName();

}  // namespace qor
