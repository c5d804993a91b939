#pragma once

#include <cstdint>

namespace qor {

// The one request a running directive waits for: whether its FinalReply has come, with which
// status, and whether it is due to be sent again. Data and read requests are repeated after more
// than 1000 ms without an answer; fill, write and restart requests never are, since the target
// may take any time over them.
class PendingRequest {
 public:
  static constexpr uint32_t kResendAfterMs = 1000;

  // The request (a message name such as "DataRequest") has gone out, or out again, now.
  void Sent(const char* name, bool resendable);
  // A FinalReply for it: records the status. False when nothing was awaited (the reply is then
  // ignored).
  bool Answer(uint32_t status);

  [[nodiscard]] bool Awaiting() const { return awaiting_; }
  [[nodiscard]] uint32_t Status() const { return status_; }
  [[nodiscard]] const char* Name() const { return name_; }
  // Resendable, unanswered, and more than 1000 ms since it last went out.
  [[nodiscard]] bool ResendDue() const;

 private:
  const char* name_ = "";
  bool resendable_ = false;
  bool awaiting_ = false;
  uint32_t status_ = 0;
  uint32_t sentAt_ = 0;
};

}  // namespace qor
