#include "exec/StagingUpload.h"

#include <algorithm>
#include <cstdio>
#include <span>
#include <string>

#include "exec/Context.h"
#include "exec/RequestId.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "script/DataSection.h"
#include "script/ScriptDisplay.h"

namespace qor {
namespace {
static_assert(DataSection::kPageSize == kMaxDataBytes, "the image's pages are its chunks");
// A progress value of all ones stands for "nothing to show", so the target can never show it.
constexpr uint32_t kNoProgress = 0xFFFFFFFF;
}  // namespace

struct StagingUpload::State {
  State(Context& o, bool show) : owner(o), showTexts(show) {}
  Context& owner;
  bool showTexts;
  Phase phase = kFilling;
  PendingRequest request;
  uint32_t offset = 0;  // of the chunk in flight, from the start of the image
  // The chunk in flight, kept for resending: its address, and its bytes in the image.
  uint32_t chunkAddress = 0;
  std::span<const uint8_t> chunk;
  uint32_t progress = kNoProgress;
  std::string statusText;  // kept from chunk to chunk: showing one allocates nothing

  void Show(ScriptDisplay& display, const std::string& text) const {
    if (showTexts) display.SetStatusText(text);
  }
  // "Sending 00100400" and the like.
  void ShowAt(ScriptDisplay& display, const char* what, uint32_t address) {
    if (!showTexts) return;
    char text[32];
    std::snprintf(text, sizeof text, "%s %08X", what, address);
    statusText.assign(text);
    display.SetStatusText(statusText);
  }

  // Every send, resends included, gets a fresh request id, so a late reply to an earlier send
  // is dropped at the hook instead of acknowledging the wrong chunk.
  void SendChunk(TargetNetwork& network, Target& target, bool again) {
    const uint32_t id = NextRequestId();
    owner.Hook(target, id);
    if (again) {
      request.Resent(target);
    } else {
      request.Sent(RequestKind::kData, chunkAddress);
    }
    network.SendDataRequest(target, id, offset, chunk);
  }
};

StagingUpload::StagingUpload(Context& owner, bool showTexts)
    : state_(std::make_unique<State>(owner, showTexts)) {}

StagingUpload::~StagingUpload() = default;

void StagingUpload::Start(uint32_t length, TargetNetwork& network, Target& target,
                          ScriptDisplay& display) {
  State& s = *state_;
  s.Show(display, "Filling buffer");
  display.SetProgress(0, length);
  const uint32_t id = NextRequestId();
  s.owner.Hook(target, id);
  s.request.Sent(RequestKind::kFill);
  network.SendFillRequest(target, id, length);
}

void StagingUpload::Wait(TargetNetwork& network, Target& target, ScriptDisplay& display) {
  State& s = *state_;
  if (s.phase == kSending && s.request.ResendDue()) {
    s.ShowAt(display, "Resending", s.chunkAddress);
    s.SendChunk(network, target, /*again=*/true);
  }
  if (s.phase == kWriting && s.progress != kNoProgress) {
    s.ShowAt(display, "Writing", s.progress);
    s.progress = kNoProgress;
  }
}

bool StagingUpload::Continue(const DataSection& image, TargetNetwork& network, Target& target,
                             ScriptDisplay& display) {
  State& s = *state_;
  // A refusal ends the directive with an error: nothing more goes out, so a refused fill or
  // chunk is never followed by a write of what the staging buffer happens to hold.
  if (s.request.Status() != 0) throw Exception(s.request.RefusalText());
  if (s.phase == kWriting) return false;
  if (s.phase == kSending) s.offset += static_cast<uint32_t>(s.chunk.size());
  s.phase = kSending;

  const uint32_t length = image.Length();
  // Blank chunks are passed over in one step: the fill already put their 0xFF bytes there.
  s.chunk = image.NextNonBlankChunkBytes(s.offset);
  if (!s.chunk.empty()) {
    s.chunkAddress = image.Base() + s.offset;
    s.SendChunk(network, target, /*again=*/false);
    // While the target answers: what it shows, and the CRC the write will need up to the end
    // of this chunk.
    display.SetProgress(s.offset, length);
    s.ShowAt(display, "Sending", s.chunkAddress);
    image.PrepareCrc(s.offset + static_cast<uint32_t>(s.chunk.size()));
    return true;
  }

  display.SetProgress(length, length);
  s.Show(display, "Writing");
  s.phase = kWriting;
  s.progress = kNoProgress;
  // The CRC covers the whole image, its 0xFF bytes included.
  const uint32_t crc = image.ImageCrc();
  const uint32_t id = NextRequestId();
  s.owner.Hook(target, id);
  s.request.Sent(RequestKind::kWrite, image.Base());
  network.SendWriteRequest(target, id, image.Base(), length, crc);
  return true;
}

void StagingUpload::OnReply(uint32_t status) { state_->request.Answer(status); }

void StagingUpload::OnProgress(uint32_t value) {
  if (!state_->request.Awaiting()) return;
  state_->progress = value;
  state_->request.Heard();
}

const PendingRequest& StagingUpload::Request() const { return state_->request; }
StagingUpload::Phase StagingUpload::CurrentPhase() const { return state_->phase; }
uint32_t StagingUpload::Offset() const { return state_->offset; }

}  // namespace qor
