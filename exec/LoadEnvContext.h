#pragma once

#include <cstdint>
#include <memory>

#include "exec/Context.h"

namespace qor {

class ScriptDisplay;
class TargetNetwork;
struct Target;

// The run state of *loadenv: read the environment block from the target's memory, 1024 bytes at
// a time, and merge it into the target's table once it is complete.
class LoadEnvContext final : public Context {
 public:
  ~LoadEnvContext() override;

  // One step of *loadenv for the block of length bytes at address, as LoadSaveEnvDirective's
  // Execute takes it. Returns the context while running, empty when done. Throws Exception for a
  // block of length 0 or larger than the staging buffer, a refused read, a read answered without
  // data or with more than the rest of the block, or a failed send.
  [[nodiscard]] static std::unique_ptr<Context> Run(uint32_t address, uint32_t length,
                                                    std::unique_ptr<Context> context,
                                                    TargetNetwork& network, Target& target,
                                                    ScriptDisplay& display);

  void OnReply(uint32_t status, const uint8_t* payload, int32_t length) override;
  [[nodiscard]] const PendingRequest* Outstanding() const override;

  // Offset from the start of the block of the read outstanding.
  [[nodiscard]] uint32_t Offset() const;

 private:
  LoadEnvContext(uint32_t address, uint32_t length);

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
