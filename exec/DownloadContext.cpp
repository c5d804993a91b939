#include "exec/DownloadContext.h"

#include <stdexcept>

#include "exec/ChunkSender.h"
#include "exec/Crc32.h"
#include "exec/RequestId.h"
#include "exec/ScriptDisplay.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "script/DataSection.h"

namespace qor {
namespace {
// A progress value of all ones stands for "nothing to show", so the target can never show it.
constexpr uint32_t kNoProgress = 0xFFFFFFFF;
}  // namespace

struct DownloadContext::State {
  explicit State(Context& owner) : chunks(owner, /*showAddresses=*/true) {}
  Phase phase = kFilling;
  ChunkSender chunks;
  bool awaitingReply = false;
  uint32_t status = 0;
  uint32_t progress = kNoProgress;
};

DownloadContext::DownloadContext() : state_(std::make_unique<State>(*this)) {}
DownloadContext::~DownloadContext() = default;

void DownloadContext::OnReply(uint32_t status, const uint8_t*, int32_t) {
  if (!state_->awaitingReply) return;
  state_->status = status;
  state_->awaitingReply = false;
}

void DownloadContext::OnProgress(uint32_t value) {
  if (state_->awaitingReply) state_->progress = value;
}

DownloadContext::Phase DownloadContext::CurrentPhase() const { return state_->phase; }
uint32_t DownloadContext::Offset() const { return state_->chunks.Offset(); }

std::unique_ptr<Context> DownloadContext::Run(const DataSection& image,
                                              std::unique_ptr<Context> context,
                                              TargetNetwork& network, Target& target,
                                              ScriptDisplay& display) {
  const uint32_t length = image.Length();
  if (!context) {
    if (length > target.stagingSize) {
      throw Exception(
          Format("QOR does not yet support multi-part downloads; download of %u bytes is too "
                 "large for target's %u-byte staging buffer",
                 length, target.stagingSize));
    }
    auto self = std::unique_ptr<DownloadContext>(new DownloadContext);
    display.SetStatusText("Filling buffer");
    display.SetProgress(0, length);
    const uint32_t id = NextRequestId();
    self->state_->awaitingReply = true;
    self->Hook(target, id);
    network.SendFillRequest(target, id, length);
    return self;
  }

  auto* self = dynamic_cast<DownloadContext*>(context.get());
  if (self == nullptr) throw std::logic_error("*download was handed another directive's context");
  State& s = *self->state_;

  if (s.awaitingReply) {
    // Only data chunks are resent: filling and writing may take the target any time.
    if (s.phase == kSending) s.chunks.ResendIfDue(network, target, display);
    if (s.phase == kWriting && s.progress != kNoProgress) {
      display.SetStatusText(Format("Writing %08X", s.progress));
      s.progress = kNoProgress;
    }
    return context;
  }

  // A failure status ends the directive without a message; the script goes on.
  if (s.status != 0) {
    display.TargetRefused(s.phase == kFilling   ? "FillRequest"
                          : s.phase == kSending ? "DataRequest"
                                                : "WriteRequest",
                          s.status);
    return nullptr;
  }
  if (s.phase == kWriting) return nullptr;

  if (s.phase == kSending) s.chunks.Acknowledged();
  s.phase = kSending;
  if (s.chunks.SendNext(image, network, target, display)) {
    s.awaitingReply = true;
    return context;
  }

  display.SetProgress(length, length);
  display.SetStatusText("Writing");
  s.phase = kWriting;
  s.progress = kNoProgress;
  const uint32_t crc = Crc32(std::span<const uint8_t>(image.Bytes(), length));
  const uint32_t id = NextRequestId();
  s.awaitingReply = true;
  self->Hook(target, id);
  network.SendWriteRequest(target, id, image.Base(), length, crc);
  return context;
}

}  // namespace qor
