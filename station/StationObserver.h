#pragma once

#include <string>

namespace qor {

class ScriptDisplay;
struct EndRecord;
struct StartRecord;

// Told how a Station goes, as it goes; the command line prints from it.
class StationObserver {
 public:
  virtual ~StationObserver() = default;
  // A unit's start line is on disk. What the unit does next (its address being given, then its
  // run) shows on the display returned, which must stay valid until UnitEnded.
  virtual ScriptDisplay& UnitStarted(const StartRecord& start) = 0;
  // The unit's end line is on disk.
  virtual void UnitEnded(const EndRecord& end) = 0;
  // Something the operator should read once: a target passed over and why, the pool running
  // out, a discovery that could not be sent.
  virtual void Note(const std::string& text) = 0;
  // Every step of the station (a front end may redraw now).
  virtual void Stepped() {}
};

}  // namespace qor
