#pragma once

#include <cstdint>

#include "net/ReplyReceiver.h"

namespace qor {

class PendingRequest;
struct Target;

// The run state of a directive that waits for replies. Replies reach it through the target's
// hook (pendingContext/pendingRequestId); a context unhooks itself when destroyed, so the hook
// never points at a dead context.
class Context : public ReplyReceiver {
 public:
  Context() = default;
  virtual ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  // A ProgressReply for the hooked request: ignored unless a context wants it.
  void OnProgress(uint32_t value) override;
  // The hooked target is going away: forget it.
  void Detach() override;

  // The request this context waits on, so the runner can tell when the target has gone
  // silent; none for a context that waits on nothing.
  [[nodiscard]] virtual const PendingRequest* Outstanding() const;

  // Routes replies carrying requestId from target to this context.
  void Hook(Target& target, uint32_t requestId);
  // Clears the target's hook if it still refers to this context.
  void Unhook();

 private:
  Target* hooked_ = nullptr;
};

}  // namespace qor
