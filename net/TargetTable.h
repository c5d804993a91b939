#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <vector>

#include "net/Target.h"

namespace qor {

// Every target that has announced itself, keyed by MAC. Targets live at stable addresses until
// Clear, which first unhooks any context still waiting on one of them.
class TargetTable {
 public:
  TargetTable();
  ~TargetTable();
  TargetTable(const TargetTable&) = delete;
  TargetTable& operator=(const TargetTable&) = delete;

  [[nodiscard]] Target* Find(const MacAddress& mac);
  // Inserts a new target (its MAC must not be in the table yet) and returns it.
  Target& Insert(const Target& target);
  void Clear();
  [[nodiscard]] size_t Size() const;
  // In MAC order.
  [[nodiscard]] std::vector<Target*> Targets() const;
  // In the order in which they first answered.
  [[nodiscard]] const std::vector<Target*>& InArrivalOrder() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
