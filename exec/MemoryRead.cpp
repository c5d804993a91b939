#include "exec/MemoryRead.h"

#include <algorithm>

#include "exec/Context.h"
#include "exec/RequestId.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "script/DataSection.h"

namespace qor {

struct MemoryRead::State {
  State(Context& o, uint32_t a, uint32_t l, const char* w)
      : owner(o), address(a), length(l), what(w), area(a, l) {}
  Context& owner;
  uint32_t address;
  uint32_t length;
  const char* what;
  DataSection area;  // assembled from the read replies
  uint32_t offset = 0;
  PendingRequest request;
  DataBlock reply;  // the bytes of the last read reply

  // Reads the rest of the area from offset, at most 1024 bytes; false when nothing is left.
  // Each read, repeated or not, carries a fresh request id.
  bool SendRead(TargetNetwork& network, Target& target, bool again) {
    const uint32_t count = std::min<uint32_t>(length - offset, kMaxDataBytes);
    if (count == 0) return false;
    // Bytes of an earlier reply must never be taken for this one's.
    reply.bytes.clear();
    const uint32_t id = NextRequestId();
    owner.Hook(target, id);
    if (again) {
      request.Resent(target);
    } else {
      request.Sent(RequestKind::kRead, address + offset);
    }
    network.SendReadRequest(target, id, address + offset, count);
    return true;
  }
};

MemoryRead::MemoryRead(Context& owner, uint32_t address, uint32_t length, const char* what)
    : state_(std::make_unique<State>(owner, address, length, what)) {}

MemoryRead::~MemoryRead() = default;

bool MemoryRead::Start(TargetNetwork& network, Target& target) {
  return state_->SendRead(network, target, /*again=*/false);
}

void MemoryRead::Wait(TargetNetwork& network, Target& target) {
  if (state_->request.ResendDue()) {
    static_cast<void>(state_->SendRead(network, target, /*again=*/true));
  }
}

bool MemoryRead::Continue(TargetNetwork& network, Target& target) {
  State& s = *state_;
  if (s.request.Status() != 0) throw Exception(s.request.RefusalText());
  if (s.reply.bytes.empty()) {
    // Without a byte the read cannot advance: asking again would spin for ever.
    throw Exception(
        Format("Target returned no data reading %s at %08X", s.what, s.address + s.offset));
  }
  s.reply.address = s.address + s.offset;
  s.area.AddBlock(s.reply);
  s.offset += static_cast<uint32_t>(s.reply.bytes.size());
  return s.SendRead(network, target, /*again=*/false);
}

void MemoryRead::OnReply(uint32_t status, const uint8_t* payload, int32_t length) {
  State& s = *state_;
  if (!s.request.Answer(status)) return;
  if (status == 0 && payload != nullptr && length > 0)
    s.reply.bytes.assign(payload, payload + length);
}

const PendingRequest& MemoryRead::Request() const { return state_->request; }
uint32_t MemoryRead::Offset() const { return state_->offset; }
const DataSection& MemoryRead::Area() const { return state_->area; }

}  // namespace qor
