#pragma once

#include <cstdint>
#include <memory>

#include "exec/Context.h"

namespace qor {

class ScriptDisplay;
class TargetNetwork;
struct Target;

// The run state of *loadenv (read the environment block 1024 bytes at a time into the target's
// table) and of *saveenv (fill the staging buffer, send the block built from the table in
// non-blank chunks, have the target write it).
class LoadSaveEnvContext final : public Context {
 public:
  enum Phase : int32_t { kReading = 0, kFilling = 1, kSending = 2, kWriting = 3 };

  ~LoadSaveEnvContext() override;

  // One step of *loadenv (isLoad) or *saveenv for the block of length bytes at address, as
  // LoadSaveEnvDirective::Execute takes it. Returns the context while running, empty when done.
  // Throws Exception for a block of length 0 or larger than the staging buffer, a read answered
  // without data, a read answered with more than the rest of the block, or a failed send.
  [[nodiscard]] static std::unique_ptr<Context> Run(bool isLoad, uint32_t address, uint32_t length,
                                                    std::unique_ptr<Context> context,
                                                    TargetNetwork& network, Target& target,
                                                    ScriptDisplay& display);

  void OnReply(uint32_t status, const uint8_t* payload, int32_t length) override;

  [[nodiscard]] Phase CurrentPhase() const;
  [[nodiscard]] uint32_t Offset() const;

 private:
  LoadSaveEnvContext(uint32_t address, uint32_t length);
  bool SendRead(TargetNetwork& network, Target& target);
  void SendNextChunkOrWrite(TargetNetwork& network, Target& target, ScriptDisplay& display);

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
