#pragma once

#include <cstdint>
#include <memory>

#include "exec/Context.h"
#include "exec/PendingRequest.h"

namespace qor {

class ScriptDisplay;
class TargetNetwork;
struct Target;

// The run state of *restart: one RestartRequest, then wait for its answer, whatever its status.
class RestartContext final : public Context {
 public:
  ~RestartContext() override;

  // One step of *restart, as RestartDirective::Execute takes it. Returns the context while it
  // waits, empty when the target has answered. Throws Exception when the send fails.
  [[nodiscard]] static std::unique_ptr<Context> Run(std::unique_ptr<Context> context,
                                                    TargetNetwork& network, Target& target,
                                                    ScriptDisplay& display);

  void OnReply(uint32_t status, const uint8_t* payload, int32_t length) override;
  [[nodiscard]] const PendingRequest* Outstanding() const override;

 private:
  RestartContext();
  PendingRequest request_;
};

}  // namespace qor
