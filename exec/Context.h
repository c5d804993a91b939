#pragma once

#include <cstdint>

namespace qor {

struct Target;

// The run state of a directive that waits for replies. Replies reach it through the target's
// hook (pendingContext/pendingRequestId); a context unhooks itself when destroyed, so the hook
// never points at a dead context.
class Context {
 public:
  Context() = default;
  virtual ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  // A FinalReply for the hooked request; payload is nullptr when length is 0.
  virtual void OnReply(uint32_t status, const uint8_t* payload, int32_t length) = 0;
  // A ProgressReply for the hooked request.
  virtual void OnProgress(uint32_t value);

  // Routes replies carrying requestId from target to this context.
  void Hook(Target& target, uint32_t requestId);
  // Clears the target's hook if it still refers to this context.
  void Unhook();

 private:
  Target* hooked_ = nullptr;
};

}  // namespace qor
