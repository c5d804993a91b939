#include "exec/RestartContext.h"

#include <stdexcept>

#include "exec/RequestId.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "script/ScriptDisplay.h"

namespace qor {

RestartContext::RestartContext() = default;
RestartContext::~RestartContext() = default;

const PendingRequest* RestartContext::Outstanding() const { return &request_; }

// The status is not examined: a target may answer a restart any way it likes.
void RestartContext::OnReply(uint32_t status, const uint8_t*, int32_t) {
  static_cast<void>(request_.Answer(status));
}

std::unique_ptr<Context> RestartContext::Run(std::unique_ptr<Context> context,
                                             TargetNetwork& network, Target& target,
                                             ScriptDisplay& display) {
  if (!context) {
    display.SetStatusText("Restarting target");
    auto self = std::unique_ptr<RestartContext>(new RestartContext);
    const uint32_t id = NextRequestId();
    self->Hook(target, id);
    self->request_.Sent(RequestKind::kRestart);
    network.SendRestartRequest(target, id);
    return self;
  }
  auto* self = dynamic_cast<RestartContext*>(context.get());
  if (self == nullptr) throw std::logic_error("*restart was handed another directive's context");
  // Never repeated: a target that restarts without answering is waited for until the runner
  // finds it silent for too long, or the operator cancels.
  if (self->request_.Awaiting()) return context;
  return nullptr;  // destroying the context unhooks it
}

}  // namespace qor
