#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qor {

struct Target;

// The requests a directive waits on.
enum class RequestKind { kFill, kData, kWrite, kRead, kRestart };

// How long a target may stay silent about an outstanding request before the directive fails.
// A write may take the target minutes, and each ProgressReply shows it is still at work; every
// other request is answered at once by a target that is there.
struct SilenceLimits {
  static constexpr uint32_t kRequestMs = 30'000;  // fill, data, read, restart
  static constexpr uint32_t kWriteMs = 600'000;   // write, counted from the last sign of life
  // The longest limit the wrapping tick count can measure safely.
  static constexpr uint32_t kMaxMs = 30u * 24 * 60 * 60 * 1000;

  uint32_t requestMs = kRequestMs;
  uint32_t writeMs = kWriteMs;

  [[nodiscard]] uint32_t For(RequestKind kind) const {
    return kind == RequestKind::kWrite ? writeMs : requestMs;
  }
};

// The one request a running directive waits for: whether its FinalReply has come, with which
// status, whether it is due to be sent again, and how long the target has been silent about it.
// Data and read requests are repeated after more than 1000 ms without an answer; fill, write and
// restart requests never are, since the target may take any time over them.
class PendingRequest {
 public:
  static constexpr uint32_t kResendAfterMs = 1000;

  // The request has gone out now; address is the target memory it concerns, where it has one.
  // Starts both the resend and the silence clock.
  void Sent(RequestKind kind, std::optional<uint32_t> address = std::nullopt);
  // The same request went out again to target under a new id: restarts the resend clock only,
  // so that repeating a request into the void never counts as hearing from the target. Counted
  // on the target.
  void Resent(Target& target);
  // A ProgressReply for it: the target is still at work, so the silence starts again.
  void Heard();
  // A FinalReply for it: records the status. False when nothing was awaited (the reply is then
  // ignored).
  bool Answer(uint32_t status);

  [[nodiscard]] bool Awaiting() const { return awaiting_; }
  [[nodiscard]] uint32_t Status() const { return status_; }
  [[nodiscard]] RequestKind Kind() const { return kind_; }
  // The message name, such as "WriteRequest".
  [[nodiscard]] const char* Name() const;
  // Resendable, unanswered, and more than 1000 ms since it last went out.
  [[nodiscard]] bool ResendDue() const;
  // Unanswered, and nothing heard about it for more than the limit of its kind.
  [[nodiscard]] bool SilentTooLong(const SilenceLimits& limits) const;

  // "Target refused the WriteRequest for 00100000 (status 3)"
  [[nodiscard]] std::string RefusalText() const;
  // "Target has not answered the ReadRequest for 00F00000 for 30 seconds"
  [[nodiscard]] std::string SilenceText(const SilenceLimits& limits) const;

 private:
  [[nodiscard]] std::string Subject() const;

  RequestKind kind_ = RequestKind::kFill;
  std::optional<uint32_t> address_;
  bool awaiting_ = false;
  uint32_t status_ = 0;
  uint32_t sentAt_ = 0;   // last send, resends included
  uint32_t heardAt_ = 0;  // first send, or the last ProgressReply
};

}  // namespace qor
