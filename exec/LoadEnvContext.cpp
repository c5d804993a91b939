#include "exec/LoadEnvContext.h"

#include <stdexcept>

#include "exec/MemoryRead.h"
#include "net/Target.h"
#include "net/TargetEnvironment.h"
#include "script/DataSection.h"

namespace qor {

struct LoadEnvContext::State {
  State(Context& owner, uint32_t a, uint32_t l)
      : address(a), length(l), read(owner, a, l, "the environment block") {}
  uint32_t address;
  uint32_t length;
  MemoryRead read;
};

LoadEnvContext::LoadEnvContext(uint32_t address, uint32_t length)
    : state_(std::make_unique<State>(*this, address, length)) {}

LoadEnvContext::~LoadEnvContext() = default;

void LoadEnvContext::OnReply(uint32_t status, const uint8_t* payload, int32_t length) {
  state_->read.OnReply(status, payload, length);
}

uint32_t LoadEnvContext::Offset() const { return state_->read.Offset(); }

const PendingRequest* LoadEnvContext::Outstanding() const { return &state_->read.Request(); }

std::unique_ptr<Context> LoadEnvContext::Run(uint32_t address, uint32_t length,
                                             std::unique_ptr<Context> context,
                                             TargetNetwork& network, Target& target,
                                             ScriptDisplay&) {
  if (!context) {
    CheckEnvironmentBlockLength(length, target.stagingSize);
    auto self = std::unique_ptr<LoadEnvContext>(new LoadEnvContext(address, length));
    static_cast<void>(self->state_->read.Start(network, target));
    return self;
  }

  auto* self = dynamic_cast<LoadEnvContext*>(context.get());
  if (self == nullptr) throw std::logic_error("*loadenv was handed another directive's context");
  State& s = *self->state_;
  if (s.read.Request().Awaiting()) {
    s.read.Wait(network, target);
    return context;
  }
  self->Unhook();
  // A refused read fails the directive (the table stays as it is), so a *saveenv after it can
  // never write back a block the target did not give.
  if (s.read.Continue(network, target)) return context;
  const DataBlock whole = s.read.Area().ExtractBlock(s.address, s.length);
  // Remembered with the table, so that a *saveenv never writes back over a damaged block.
  target.environment.blocks[s.address] =
      ParseEnvironmentBlock(whole.bytes.data(), whole.bytes.size(), target.environment);
  return nullptr;
}

}  // namespace qor
