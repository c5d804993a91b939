#pragma once

#include <atomic>
#include <memory>

namespace qor {

// For as long as it lives, Ctrl-C at the console sets a flag instead of ending the program; the
// program's loops watch the flag. Only one lives at a time.
class ConsoleInterrupt {
 public:
  // Clears flag and installs the handler.
  explicit ConsoleInterrupt(std::atomic<bool>& flag);
  ~ConsoleInterrupt();  // the previous handling again
  ConsoleInterrupt(const ConsoleInterrupt&) = delete;
  ConsoleInterrupt& operator=(const ConsoleInterrupt&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
