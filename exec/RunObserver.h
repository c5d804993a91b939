#pragma once

#include <cstddef>

namespace qor {

struct TargetRun;

// Told how a RunSession goes, as it goes; the command line prints from it.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  // The run of the target added at index is over; run holds its final outcome.
  virtual void RunEnded(size_t index, const TargetRun& run) = 0;
  // Every run still going has been stepped once (a front end may redraw now).
  virtual void Stepped() {}
};

}  // namespace qor
