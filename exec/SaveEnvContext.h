#pragma once

#include <cstdint>
#include <memory>

#include "exec/Context.h"
#include "exec/StagingUpload.h"

namespace qor {

class ScriptDisplay;
class TargetNetwork;
struct Target;

// The run state of *saveenv: fill the staging buffer, send the environment block built from the
// target's table in non-blank chunks, then have the target write it. No text is shown.
class SaveEnvContext final : public Context {
 public:
  using Phase = StagingUpload::Phase;

  ~SaveEnvContext() override;

  // One step of *saveenv for the block of length bytes at address, as LoadSaveEnvDirective's
  // Execute takes it. Returns the context while running, empty when done, with the block then
  // known to be valid on the target. Throws Exception for a block of length 0 or larger than the
  // staging buffer, a table that does not fit the block (before anything is sent), a refused
  // request or a failed send.
  [[nodiscard]] static std::unique_ptr<Context> Run(uint32_t address, uint32_t length,
                                                    std::unique_ptr<Context> context,
                                                    TargetNetwork& network, Target& target,
                                                    ScriptDisplay& display);

  void OnReply(uint32_t status, const uint8_t* payload, int32_t length) override;
  void OnProgress(uint32_t value) override;
  [[nodiscard]] const PendingRequest* Outstanding() const override;

  [[nodiscard]] Phase CurrentPhase() const;
  [[nodiscard]] uint32_t Offset() const;

 private:
  SaveEnvContext(uint32_t address, uint32_t length);

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
