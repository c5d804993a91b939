#pragma once

#include <cstdint>
#include <memory>

#include "exec/Context.h"
#include "exec/StagingUpload.h"

namespace qor {

class DataSection;
class ScriptDisplay;
class TargetNetwork;
struct Target;

// The run state of *download: fill the target's staging buffer, send every non-blank 1024-byte
// chunk of the image into it, then have the target write it with the image's CRC-32.
class DownloadContext final : public Context {
 public:
  using Phase = StagingUpload::Phase;
  static constexpr Phase kFilling = StagingUpload::kFilling;
  static constexpr Phase kSending = StagingUpload::kSending;
  static constexpr Phase kWriting = StagingUpload::kWriting;

  ~DownloadContext() override;

  // One step of *download with image, as DownloadDirective::Execute takes it: context is what the
  // previous step left (empty at first). Returns the context while the download runs, empty
  // when it is done. Throws Exception when the image does not fit the staging buffer, the
  // target refuses a request or a send fails.
  [[nodiscard]] static std::unique_ptr<Context> Run(const DataSection& image,
                                                    std::unique_ptr<Context> context,
                                                    TargetNetwork& network, Target& target,
                                                    ScriptDisplay& display);

  void OnReply(uint32_t status, const uint8_t* payload, int32_t length) override;
  void OnProgress(uint32_t value) override;
  [[nodiscard]] const PendingRequest* Outstanding() const override;

  [[nodiscard]] Phase CurrentPhase() const;
  [[nodiscard]] uint32_t Offset() const;

 private:
  DownloadContext();
  StagingUpload upload_;
};

}  // namespace qor
