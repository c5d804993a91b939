#pragma once

#include <atomic>
#include <memory>

namespace qor::cli {

// Ctrl-C for the length of a command: the handler only sets a flag, which the command's loops
// watch (a run cancels like the Cancel button). Only one guard lives at a time.
class InterruptGuard {
 public:
  InterruptGuard();   // clears the flag and installs the handler
  ~InterruptGuard();  // puts the previous handler back
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  // Set once Ctrl-C was pressed; readable from any thread.
  [[nodiscard]] const std::atomic<bool>& Flag() const;
  [[nodiscard]] bool Interrupted() const { return Flag().load(); }

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor::cli
