#include "exec/DownloadContext.h"

#include <stdexcept>

#include "net/Target.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "script/DataSection.h"
#include "script/ScriptDisplay.h"

namespace qor {

DownloadContext::DownloadContext() : upload_(*this, /*showTexts=*/true) {}
DownloadContext::~DownloadContext() = default;

void DownloadContext::OnReply(uint32_t status, const uint8_t*, int32_t) { upload_.OnReply(status); }
void DownloadContext::OnProgress(uint32_t value) { upload_.OnProgress(value); }

DownloadContext::Phase DownloadContext::CurrentPhase() const { return upload_.CurrentPhase(); }
uint32_t DownloadContext::Offset() const { return upload_.Offset(); }
const PendingRequest* DownloadContext::Outstanding() const { return &upload_.Request(); }

std::unique_ptr<Context> DownloadContext::Run(const DataSection& image,
                                              std::unique_ptr<Context> context,
                                              TargetNetwork& network, Target& target,
                                              ScriptDisplay& display) {
  if (!context) {
    if (image.Length() > target.stagingSize) {
      throw Exception(
          Format("QOR does not yet support multi-part downloads; download of %u bytes is too "
                 "large for target's %u-byte staging buffer",
                 image.Length(), target.stagingSize));
    }
    auto self = std::unique_ptr<DownloadContext>(new DownloadContext);
    self->upload_.Start(image.Length(), network, target, display);
    return self;
  }

  auto* self = dynamic_cast<DownloadContext*>(context.get());
  if (self == nullptr) throw std::logic_error("*download was handed another directive's context");
  StagingUpload& upload = self->upload_;
  const PendingRequest& request = upload.Request();
  if (request.Awaiting()) {
    upload.Wait(network, target, display);
    return context;
  }
  if (!upload.Continue(image, network, target, display)) return nullptr;
  return context;
}

}  // namespace qor
