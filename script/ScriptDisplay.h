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
  // environment writes). total 0 means no transfer is under way. The dialog has no bar for it.
  virtual void SetProgress(uint32_t done, uint32_t total) {
    static_cast<void>(done);
    static_cast<void>(total);
  }
  // The target answered request (a message name such as "WriteRequest") with a failure status.
  // The directive ends without a word and the script goes on, as the dialog has it; the command
  // line reports it, so that automation never takes a refused write for a success.
  virtual void TargetRefused(const char* request, uint32_t status) {
    static_cast<void>(request);
    static_cast<void>(status);
  }
};

}  // namespace qor
