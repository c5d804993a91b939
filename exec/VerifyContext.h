#pragma once

#include <cstdint>
#include <memory>

#include "exec/Context.h"
#include "exec/MemoryRead.h"

namespace qor {

class DataSection;
class ScriptDisplay;
class TargetNetwork;
struct Target;

// Reads a downloaded image back from the target's memory and compares it byte for byte: the
// target's CRC check proves only what reached its staging buffer, not what its memory holds.
// The script runner runs it after each *download when asked to verify.
class VerifyContext final : public Context {
 public:
  ~VerifyContext() override;

  // One step of the verification of image, in the manner of a directive's Execute. Returns the
  // context while reading, empty when every byte matched. Throws Exception at the first byte
  // that differs, for a refused read or one answered without data, or a failed send.
  [[nodiscard]] static std::unique_ptr<Context> Run(const DataSection& image,
                                                    std::unique_ptr<Context> context,
                                                    TargetNetwork& network, Target& target,
                                                    ScriptDisplay& display);

  void OnReply(uint32_t status, const uint8_t* payload, int32_t length) override;
  [[nodiscard]] const PendingRequest* Outstanding() const override;

 private:
  explicit VerifyContext(const DataSection& image);
  MemoryRead read_;
};

}  // namespace qor
