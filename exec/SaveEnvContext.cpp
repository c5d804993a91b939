#include "exec/SaveEnvContext.h"

#include <stdexcept>

#include "net/Target.h"
#include "net/TargetEnvironment.h"
#include "platform/Exception.h"
#include "script/DataSection.h"
#include "script/ScriptDisplay.h"

namespace qor {

struct SaveEnvContext::State {
  State(Context& owner, uint32_t a, uint32_t l)
      : address(a), length(l), upload(owner, /*showTexts=*/false) {}
  uint32_t address;
  uint32_t length;
  StagingUpload upload;
  std::unique_ptr<DataSection> block;  // built once the staging buffer is ready
};

SaveEnvContext::SaveEnvContext(uint32_t address, uint32_t length)
    : state_(std::make_unique<State>(*this, address, length)) {}

SaveEnvContext::~SaveEnvContext() = default;

void SaveEnvContext::OnReply(uint32_t status, const uint8_t*, int32_t) {
  state_->upload.OnReply(status);
}

// Nothing is shown, but a progress reply still tells that the target is at work on the write.
void SaveEnvContext::OnProgress(uint32_t value) { state_->upload.OnProgress(value); }

const PendingRequest* SaveEnvContext::Outstanding() const { return &state_->upload.Request(); }

SaveEnvContext::Phase SaveEnvContext::CurrentPhase() const { return state_->upload.CurrentPhase(); }
uint32_t SaveEnvContext::Offset() const { return state_->upload.Offset(); }

std::unique_ptr<Context> SaveEnvContext::Run(uint32_t address, uint32_t length,
                                             std::unique_ptr<Context> context,
                                             TargetNetwork& network, Target& target,
                                             ScriptDisplay& display) {
  if (!context) {
    CheckEnvironmentBlockLength(length, target.stagingSize);
    // Before anything goes out: a block that left variables out would lose them on the target.
    CheckEnvironmentFits(target.environment, address, length);
    auto self = std::unique_ptr<SaveEnvContext>(new SaveEnvContext(address, length));
    self->state_->upload.Start(length, network, target, display);
    return self;
  }

  auto* self = dynamic_cast<SaveEnvContext*>(context.get());
  if (self == nullptr) throw std::logic_error("*saveenv was handed another directive's context");
  State& s = *self->state_;
  const PendingRequest& request = s.upload.Request();
  if (request.Awaiting()) {
    s.upload.Wait(network, target, display);
    return context;
  }
  self->Unhook();
  if (request.Status() != 0) throw Exception(request.RefusalText());
  if (!s.block) {
    // Built now, from the table as it stands when the staging buffer is ready; only the staging
    // buffer has been touched if it no longer fits.
    CheckEnvironmentFits(target.environment, s.address, s.length);
    s.block = std::make_unique<DataSection>(s.address, s.length);
    s.block->AddBlock(BuildEnvironmentBlock(target.environment, s.address, s.length));
  }
  if (s.upload.Continue(*s.block, network, target, display)) return context;
  target.environment.blocks[s.address] = EnvironmentBlockState::kValid;
  return nullptr;
}

}  // namespace qor
