#pragma once

#include <memory>
#include <string>

#include "tools/trace/TraceRecord.h"

namespace qor {

// A JSON Lines trace file: one TraceLine per record. Lines are buffered until Flush, so a
// program flushes once per batch of work rather than once per message.
class TraceWriter {
 public:
  // Creates or empties the file; throws Exception("Cannot write trace file \"%s\"").
  explicit TraceWriter(const std::string& path);
  ~TraceWriter();  // flushes and closes
  TraceWriter(const TraceWriter&) = delete;
  TraceWriter& operator=(const TraceWriter&) = delete;

  void Write(const TraceRecord& record);
  void Flush();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
