#include "exec/ChunkSender.h"

#include <algorithm>

#include "exec/Context.h"
#include "exec/RequestId.h"
#include "exec/ScriptDisplay.h"
#include "net/TargetNetwork.h"
#include "platform/Format.h"
#include "platform/TickCount.h"
#include "script/DataSection.h"

namespace qor {
namespace {
constexpr uint32_t kResendAfterMs = 1000;
}  // namespace

struct ChunkSender::State {
  State(Context& o, bool show) : owner(o), showAddresses(show) {}
  Context& owner;
  bool showAddresses;
  uint32_t offset = 0;    // of the chunk in flight, from the start of the image
  DataBlock chunk;        // the chunk in flight, kept for resending
  bool inFlight = false;  // a chunk was sent and not yet acknowledged
  uint32_t sentAt = 0;    // tick count of its last send

  // Every send, resends included, gets a fresh request id, so a late reply to an earlier send
  // is dropped at the hook instead of acknowledging the wrong chunk.
  void Send(TargetNetwork& network, Target& target) {
    const uint32_t id = NextRequestId();
    owner.Hook(target, id);
    network.SendDataRequest(target, id, offset, chunk);
    sentAt = GetTickCount();
    inFlight = true;
  }
};

ChunkSender::ChunkSender(Context& owner, bool showAddresses)
    : state_(std::make_unique<State>(owner, showAddresses)) {}

ChunkSender::~ChunkSender() = default;

bool ChunkSender::SendNext(const DataSection& image, TargetNetwork& network, Target& target,
                           ScriptDisplay& display) {
  State& s = *state_;
  const uint32_t length = image.Length();
  while (s.offset < length) {
    const uint32_t count = std::min<uint32_t>(length - s.offset, kMaxDataBytes);
    s.chunk = image.ExtractBlock(image.Base() + s.offset, count);
    const bool blank = std::all_of(s.chunk.bytes.begin(), s.chunk.bytes.end(),
                                   [](uint8_t b) { return b == 0xFF; });
    if (!blank) {
      display.SetProgress(s.offset, length);
      if (s.showAddresses) display.SetStatusText(Format("Sending %08X", s.chunk.address));
      s.Send(network, target);
      return true;
    }
    s.offset += count;
  }
  s.chunk = DataBlock{};
  return false;
}

void ChunkSender::Acknowledged() {
  State& s = *state_;
  if (!s.inFlight) return;
  s.offset += static_cast<uint32_t>(s.chunk.bytes.size());
  s.inFlight = false;
}

void ChunkSender::ResendIfDue(TargetNetwork& network, Target& target, ScriptDisplay& display) {
  State& s = *state_;
  // Unsigned difference: correct across the tick count's wrap.
  if (!s.inFlight || GetTickCount() - s.sentAt <= kResendAfterMs) return;
  if (s.showAddresses) display.SetStatusText(Format("Resending %08X", s.chunk.address));
  s.Send(network, target);
}

uint32_t ChunkSender::Offset() const { return state_->offset; }

}  // namespace qor
