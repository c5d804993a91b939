#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "net/Target.h"

namespace qor {

// Every target that has announced itself, keyed by MAC. Targets live at stable addresses until
// Clear, which first unhooks any context still waiting on one of them. The table holds at most
// kMaxTargets, so that a flood of announcements with invented MACs cannot take memory without
// limit; the ones turned away are counted.
class TargetTable {
 public:
  // Far more than a network segment of real devices, a few megabytes at most.
  static constexpr size_t kMaxTargets = 32768;

  TargetTable();
  ~TargetTable();
  TargetTable(const TargetTable&) = delete;
  TargetTable& operator=(const TargetTable&) = delete;

  [[nodiscard]] Target* Find(const MacAddress& mac);
  // Inserts a new target and returns it; the one already there when its MAC is known. Null when
  // the table is full: the target is then counted as dropped.
  Target* Insert(const Target& target);
  // Empties the table and the count of dropped targets.
  void Clear();
  [[nodiscard]] size_t Size() const;
  // New targets turned away because the table was full, since the last Clear.
  [[nodiscard]] uint64_t Dropped() const;
  // In MAC order.
  [[nodiscard]] std::vector<Target*> Targets() const;
  // In the order in which they first answered.
  [[nodiscard]] const std::vector<Target*>& InArrivalOrder() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
