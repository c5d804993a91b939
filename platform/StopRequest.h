#pragma once

#include <memory>

namespace qor {

// What ends a program that serves until it is asked to stop: Ctrl-C or SIGTERM on POSIX;
// Ctrl-C, Ctrl-Break, closing the console or the end of the session on Windows. Construct it
// before starting any thread: on POSIX those signals are then blocked in every thread and taken
// by Wait alone.
class StopRequest {
 public:
  StopRequest();
  ~StopRequest();
  StopRequest(const StopRequest&) = delete;
  StopRequest& operator=(const StopRequest&) = delete;

  // Blocks until the request comes.
  void Wait();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
