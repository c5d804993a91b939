#include "exec/VerifyContext.h"

#include <stdexcept>
#include <vector>

#include "net/Target.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "script/DataSection.h"
#include "script/ScriptDisplay.h"

namespace qor {
namespace {

void ShowReading(ScriptDisplay& display, const MemoryRead& read, const DataSection& image) {
  display.SetStatusText(Format("Verifying %08X", image.Base() + read.Offset()));
  display.SetProgress(read.Offset(), image.Length());
}

// Compares what was read with the image; throws at the first byte that differs. Both are
// taken out a piece at a time: an image holds only its data, not every byte of its area.
void Compare(const DataSection& image, const DataSection& read) {
  constexpr uint32_t kPiece = 64 * 1024;
  for (uint64_t offset = 0; offset < image.Length(); offset += kPiece) {
    const auto address = static_cast<uint32_t>(image.Base() + offset);
    const std::vector<uint8_t> expected = image.ExtractBlock(address, kPiece).bytes;
    const std::vector<uint8_t> actual = read.ExtractBlock(address, kPiece).bytes;
    for (size_t i = 0; i < expected.size(); ++i) {
      if (expected[i] != actual[i]) {
        throw Exception(Format(
            "Verification failed: the target's memory at %08X holds %02X where the image has %02X",
            static_cast<uint32_t>(address + i), actual[i], expected[i]));
      }
    }
  }
}

}  // namespace

VerifyContext::VerifyContext(const DataSection& image)
    : read_(*this, image.Base(), image.Length(), "the image") {}

VerifyContext::~VerifyContext() = default;

void VerifyContext::OnReply(uint32_t status, const uint8_t* payload, int32_t length) {
  read_.OnReply(status, payload, length);
}

const PendingRequest* VerifyContext::Outstanding() const { return &read_.Request(); }

std::unique_ptr<Context> VerifyContext::Run(const DataSection& image,
                                            std::unique_ptr<Context> context,
                                            TargetNetwork& network, Target& target,
                                            ScriptDisplay& display) {
  if (!context) {
    auto self = std::unique_ptr<VerifyContext>(new VerifyContext(image));
    if (!self->read_.Start(network, target)) return nullptr;  // an empty image
    ShowReading(display, self->read_, image);
    return self;
  }
  auto* self = dynamic_cast<VerifyContext*>(context.get());
  if (self == nullptr) throw std::logic_error("the verification was handed another context");
  MemoryRead& read = self->read_;
  if (read.Request().Awaiting()) {
    read.Wait(network, target);
    return context;
  }
  self->Unhook();
  if (read.Continue(network, target)) {
    ShowReading(display, read, image);
    return context;
  }
  display.SetProgress(image.Length(), image.Length());
  Compare(image, read.Area());
  display.SetStatusText("Verified");
  return nullptr;
}

}  // namespace qor
