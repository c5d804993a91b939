#include "exec/DownloadContext.h"

#include <algorithm>
#include <stdexcept>

#include "exec/Crc32.h"
#include "exec/RequestId.h"
#include "exec/ScriptDisplay.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/TickCount.h"
#include "script/DataSection.h"

namespace qor {
namespace {
constexpr uint32_t kResendAfterMs = 1000;
// A progress value of all ones stands for "nothing to show", so the target can never show it.
constexpr uint32_t kNoProgress = 0xFFFFFFFF;
}  // namespace

struct DownloadContext::State {
  Phase phase = kFilling;
  uint32_t offset = 0;  // of the chunk being sent, from the start of the image
  DataBlock chunk;      // the chunk last sent, kept for resending
  bool awaitingReply = false;
  uint32_t status = 0;
  uint32_t progress = kNoProgress;
  uint32_t sentAt = 0;
  bool timing = false;  // sentAt holds the time of a DataRequest that may need resending
};

DownloadContext::DownloadContext() : state_(std::make_unique<State>()) {}
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
uint32_t DownloadContext::Offset() const { return state_->offset; }

// Every send, resends included, gets a fresh request id, so a late reply to an earlier send
// is dropped at the hook instead of acknowledging the wrong chunk.
void DownloadContext::SendChunk(TargetNetwork& network, Target& target) {
  State& s = *state_;
  const uint32_t id = NextRequestId();
  s.awaitingReply = true;
  Hook(target, id);
  network.SendDataRequest(target, id, s.offset, s.chunk);
  s.sentAt = GetTickCount();
  s.timing = true;
}

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
    if (s.phase == kSending && s.timing && GetTickCount() - s.sentAt > kResendAfterMs) {
      display.SetStatusText(Format("Resending %08X", image.Base() + s.offset));
      self->SendChunk(network, target);
    }
    if (s.phase == kWriting && s.progress != kNoProgress) {
      display.SetStatusText(Format("Writing %08X", s.progress));
      s.progress = kNoProgress;
    }
    return context;
  }

  // A failure status ends the directive silently; the script goes on.
  if (s.status != 0 || s.phase == kWriting) return nullptr;

  if (s.phase == kSending) s.offset += static_cast<uint32_t>(s.chunk.bytes.size());
  s.phase = kSending;
  s.timing = false;
  display.SetProgress(s.offset, length);
  while (s.offset < length) {
    const uint32_t count = std::min<uint32_t>(length - s.offset, kMaxDataBytes);
    s.chunk = image.ExtractBlock(image.Base() + s.offset, count);
    // The fill already put 0xFF everywhere, so blank chunks need not travel.
    const bool blank = std::all_of(s.chunk.bytes.begin(), s.chunk.bytes.end(),
                                   [](uint8_t b) { return b == 0xFF; });
    if (!blank) {
      display.SetStatusText(Format("Sending %08X", image.Base() + s.offset));
      self->SendChunk(network, target);
      return context;
    }
    s.offset += count;
    display.SetProgress(s.offset, length);
  }

  display.SetStatusText("Writing");
  s.phase = kWriting;
  s.progress = kNoProgress;
  s.chunk = DataBlock{};
  const uint32_t crc = Crc32(std::span<const uint8_t>(image.Bytes(), length));
  const uint32_t id = NextRequestId();
  s.awaitingReply = true;
  self->Hook(target, id);
  network.SendWriteRequest(target, id, image.Base(), length, crc);
  return context;
}

}  // namespace qor
