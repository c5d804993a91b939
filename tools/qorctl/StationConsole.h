#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "station/StationObserver.h"

namespace qor {
class Station;
}

namespace qor::cli {

// What `qorctl provision` shows. Each unit's start and end is a line of its own, as in a log;
// notes (a target passed over, the pool running out) go to their own stream. On a terminal,
// below those lines and rewritten in place: one line per unit in flight (MAC, address, section,
// status, progress bar, rate), then the counters and the units per hour.
class StationConsole final : public StationObserver {
 public:
  // json, when given, also gets every end record as a line of JSON.
  StationConsole(std::FILE* out, std::FILE* notes, bool terminal, std::FILE* json = nullptr);
  ~StationConsole() override;
  StationConsole(const StationConsole&) = delete;
  StationConsole& operator=(const StationConsole&) = delete;

  // The station whose counters the terminal shows; set before it runs.
  void Watch(const Station& station);

  ScriptDisplay& UnitStarted(const StartRecord& start) override;
  void UnitEnded(const EndRecord& end) override;
  void Note(const std::string& text) override;
  // Redraws the terminal's lines, at most every 50 ms.
  void Stepped() override;
  // Takes the live lines off the terminal, for the summary to follow.
  void Close();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// "02:00:00:00:00:01  started at 127.0.1.1 (was Unassigned), serial=SN0001 hostname=unit-1"
[[nodiscard]] std::string StartText(const StartRecord& start);
// "02:00:00:00:00:01  passed in 2.333 s", "... failed after 3.000 s: why", "... cancelled after
// 0.120 s"
[[nodiscard]] std::string EndText(const EndRecord& end);
// "Passed 10  Failed 1  Cancelled 0  Waiting 2  In flight 3  Pool left 232  600 units/h"
[[nodiscard]] std::string CountsText(const Station& station);

}  // namespace qor::cli
