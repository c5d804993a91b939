#include "exec/PendingRequest.h"

#include "net/Target.h"
#include "platform/Format.h"
#include "platform/TickCount.h"

namespace qor {

void PendingRequest::Sent(RequestKind kind, std::optional<uint32_t> address) {
  kind_ = kind;
  address_ = address;
  awaiting_ = true;
  status_ = 0;
  sentAt_ = GetTickCount();
  heardAt_ = sentAt_;
}

void PendingRequest::Resent(Target& target) {
  sentAt_ = GetTickCount();
  ++target.resends;
}

void PendingRequest::Heard() {
  if (awaiting_) heardAt_ = GetTickCount();
}

bool PendingRequest::Answer(uint32_t status) {
  if (!awaiting_) return false;
  awaiting_ = false;
  status_ = status;
  return true;
}

const char* PendingRequest::Name() const {
  switch (kind_) {
    case RequestKind::kFill:
      return "FillRequest";
    case RequestKind::kData:
      return "DataRequest";
    case RequestKind::kWrite:
      return "WriteRequest";
    case RequestKind::kRead:
      return "ReadRequest";
    case RequestKind::kRestart:
      return "RestartRequest";
  }
  return "request";
}

// Unsigned differences below: correct across the tick count's wrap.
bool PendingRequest::ResendDue() const {
  const bool resendable = kind_ == RequestKind::kData || kind_ == RequestKind::kRead;
  return awaiting_ && resendable && GetTickCount() - sentAt_ > kResendAfterMs;
}

bool PendingRequest::SilentTooLong(const SilenceLimits& limits) const {
  return awaiting_ && GetTickCount() - heardAt_ > limits.For(kind_);
}

std::string PendingRequest::Subject() const {
  return address_ ? Format("%s for %08X", Name(), *address_) : std::string(Name());
}

std::string PendingRequest::RefusalText() const {
  return Format("Target refused the %s (status %u)", Subject().c_str(), status_);
}

std::string PendingRequest::SilenceText(const SilenceLimits& limits) const {
  return Format("Target has not answered the %s for %g seconds", Subject().c_str(),
                limits.For(kind_) / 1000.0);
}

}  // namespace qor
