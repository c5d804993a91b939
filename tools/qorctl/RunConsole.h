#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace qor {
class ScriptDisplay;
}

namespace qor::cli {

// What `qorctl run` shows while scripts run on one or more targets. On a terminal tall enough for
// them: one line per target, rewritten in place, with a progress bar while data goes to the
// target. Otherwise: one line each time a target's operation or status line changes, so logs
// stay readable.
class RunConsole {
 public:
  // labels: one per target, in the order of the lines (the targets' MAC addresses).
  RunConsole(std::FILE* out, bool terminal, std::vector<std::string> labels);
  ~RunConsole();
  RunConsole(const RunConsole&) = delete;
  RunConsole& operator=(const RunConsole&) = delete;

  // The script display of the target at index; it stays valid as long as the console.
  [[nodiscard]] ScriptDisplay& Display(size_t index);
  // Replaces the target's live line for good with text (its outcome).
  void Finish(size_t index, const std::string& text);
  // Prints a line of its own to errors (a directive's error text, say), above the live lines.
  void Message(std::FILE* errors, const std::string& text);
  // Brings the terminal up to date; between forced calls at most every 50 ms.
  void Refresh(bool force = false);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor::cli
