#pragma once

#include <cstdint>
#include <string>

namespace qor {

// The two progress lines a running script shows: the script dialog and the command line both
// implement it. Implementations write a line only when its text changes.
class ScriptDisplay {
 public:
  virtual ~ScriptDisplay() = default;
  virtual void SetOperationText(const std::string& text) = 0;
  virtual void SetStatusText(const std::string& text) = 0;
  // How far the current transfer to the target has come: done of total bytes (downloads and
  // environment writes). total 0 means no transfer is under way.
  virtual void SetProgress(uint32_t done, uint32_t total) {
    static_cast<void>(done);
    static_cast<void>(total);
  }
};

}  // namespace qor
