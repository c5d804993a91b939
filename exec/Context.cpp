#include "exec/Context.h"

#include "net/Target.h"

namespace qor {

Context::~Context() { Unhook(); }

void Context::OnProgress(uint32_t) {}

void Context::Detach() { Unhook(); }

const PendingRequest* Context::Outstanding() const { return nullptr; }

void Context::Hook(Target& target, uint32_t requestId) {
  if (hooked_ != nullptr && hooked_ != &target) Unhook();
  // A context displaced from the hook must forget the target, which may be gone before it is.
  if (target.pendingContext != nullptr && target.pendingContext != this) {
    target.pendingContext->Detach();
  }
  hooked_ = &target;
  target.pendingContext = this;
  target.pendingRequestId = requestId;
}

void Context::Unhook() {
  if (hooked_ != nullptr && hooked_->pendingContext == this) {
    hooked_->pendingContext = nullptr;
    hooked_->pendingRequestId = 0;
  }
  hooked_ = nullptr;
}

}  // namespace qor
