#include "exec/LoadEnvContext.h"

#include <algorithm>
#include <stdexcept>

#include "exec/PendingRequest.h"
#include "exec/RequestId.h"
#include "net/Target.h"
#include "net/TargetEnvironment.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "script/DataSection.h"
#include "script/ScriptDisplay.h"

namespace qor {

struct LoadEnvContext::State {
  State(uint32_t a, uint32_t l) : address(a), length(l), block(a, l) {}
  uint32_t address;
  uint32_t length;
  DataSection block;  // assembled from the read replies
  uint32_t offset = 0;
  PendingRequest request;
  DataBlock reply;  // the bytes of the last read reply
};

LoadEnvContext::LoadEnvContext(uint32_t address, uint32_t length)
    : state_(std::make_unique<State>(address, length)) {}

LoadEnvContext::~LoadEnvContext() = default;

void LoadEnvContext::OnReply(uint32_t status, const uint8_t* payload, int32_t length) {
  State& s = *state_;
  if (!s.request.Answer(status)) return;
  if (status == 0 && payload != nullptr && length > 0)
    s.reply.bytes.assign(payload, payload + length);
}

uint32_t LoadEnvContext::Offset() const { return state_->offset; }

// Reads the rest of the block from offset, at most 1024 bytes; false when nothing is left.
// Resends come here too: each read, repeated or not, carries a fresh request id.
bool LoadEnvContext::SendRead(TargetNetwork& network, Target& target) {
  State& s = *state_;
  const uint32_t count = std::min<uint32_t>(s.length - s.offset, kMaxDataBytes);
  if (count == 0) return false;
  // Bytes of an earlier reply must never be taken for this one's.
  s.reply.bytes.clear();
  const uint32_t id = NextRequestId();
  Hook(target, id);
  s.request.Sent("ReadRequest", /*resendable=*/true);
  network.SendReadRequest(target, id, s.address + s.offset, count);
  return true;
}

std::unique_ptr<Context> LoadEnvContext::Run(uint32_t address, uint32_t length,
                                             std::unique_ptr<Context> context,
                                             TargetNetwork& network, Target& target,
                                             ScriptDisplay& display) {
  if (!context) {
    CheckEnvironmentBlockLength(length, target.stagingSize);
    auto self = std::unique_ptr<LoadEnvContext>(new LoadEnvContext(address, length));
    static_cast<void>(self->SendRead(network, target));
    return self;
  }

  auto* self = dynamic_cast<LoadEnvContext*>(context.get());
  if (self == nullptr) throw std::logic_error("*loadenv was handed another directive's context");
  State& s = *self->state_;
  if (s.request.Awaiting()) {
    if (s.request.ResendDue()) static_cast<void>(self->SendRead(network, target));
    return context;
  }
  self->Unhook();
  // A failure status ends the directive without a message; the table stays as it is.
  if (s.request.Status() != 0) {
    display.TargetRefused(s.request.Name(), s.request.Status());
    return nullptr;
  }
  if (s.reply.bytes.empty()) {
    // Without a byte the read cannot advance: asking again would spin for ever.
    throw Exception(Format("Target returned no data reading the environment block at %08X",
                           s.address + s.offset));
  }
  s.reply.address = s.address + s.offset;
  s.block.AddBlock(s.reply);
  s.offset += static_cast<uint32_t>(s.reply.bytes.size());
  if (self->SendRead(network, target)) return context;
  const DataBlock whole = s.block.ExtractBlock(s.address, s.length);
  ParseEnvironmentBlock(whole.bytes.data(), whole.bytes.size(), target.environment);
  return nullptr;
}

}  // namespace qor
