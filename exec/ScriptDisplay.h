#pragma once

#include <string>

namespace qor {

// The two progress lines a running script shows: the script dialog and the command line both
// implement it. Implementations write a line only when its text changes.
class ScriptDisplay {
 public:
  virtual ~ScriptDisplay() = default;
  virtual void SetOperationText(const std::string& text) = 0;
  virtual void SetStatusText(const std::string& text) = 0;
};

}  // namespace qor
