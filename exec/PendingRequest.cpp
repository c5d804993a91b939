#include "exec/PendingRequest.h"

#include "platform/TickCount.h"

namespace qor {

void PendingRequest::Sent(const char* name, bool resendable) {
  name_ = name;
  resendable_ = resendable;
  awaiting_ = true;
  status_ = 0;
  sentAt_ = GetTickCount();
}

bool PendingRequest::Answer(uint32_t status) {
  if (!awaiting_) return false;
  awaiting_ = false;
  status_ = status;
  return true;
}

bool PendingRequest::ResendDue() const {
  // Unsigned difference: correct across the tick count's wrap.
  return awaiting_ && resendable_ && GetTickCount() - sentAt_ > kResendAfterMs;
}

}  // namespace qor
