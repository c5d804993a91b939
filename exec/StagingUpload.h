#pragma once

#include <cstdint>
#include <memory>

#include "exec/PendingRequest.h"

namespace qor {

class Context;
class DataSection;
class ScriptDisplay;
class TargetNetwork;
struct Target;

// How *download and *saveenv move an image into the target's memory: fill the staging buffer
// with 0xFF, send every 1024-byte chunk of the image that holds another byte into it, one at a
// time, then have the target write the buffer to the image's address, checked against the CRC-32
// of the whole image. Blank chunks need not travel: the fill already put 0xFF there. Each request
// hooks the owning context, to which the target's replies are routed.
class StagingUpload {
 public:
  enum Phase : int32_t { kFilling = 1, kSending = 2, kWriting = 3 };

  // showTexts: the status texts of *download ("Filling buffer", "Sending %08X", "Resending
  // %08X", "Writing", "Writing %08X"); *saveenv shows none.
  StagingUpload(Context& owner, bool showTexts);
  ~StagingUpload();
  StagingUpload(const StagingUpload&) = delete;
  StagingUpload& operator=(const StagingUpload&) = delete;

  // Sends the FillRequest for length bytes. Throws the Exception of a failed send.
  void Start(uint32_t length, TargetNetwork& network, Target& target, ScriptDisplay& display);
  // While an answer is awaited: repeats a data chunk that is due, shows a write's last progress.
  void Wait(TargetNetwork& network, Target& target, ScriptDisplay& display);
  // After the awaited FinalReply: sends the next non-blank chunk of image or, when none is left,
  // the WriteRequest. False once the write itself was answered: done. Throws Exception when the
  // target answered with a failure status, or a send fails.
  [[nodiscard]] bool Continue(const DataSection& image, TargetNetwork& network, Target& target,
                              ScriptDisplay& display);

  // What the owning context receives for the hooked request.
  void OnReply(uint32_t status);
  void OnProgress(uint32_t value);

  [[nodiscard]] const PendingRequest& Request() const;
  [[nodiscard]] Phase CurrentPhase() const;
  // Offset from the start of the image of the chunk in flight, or of the next one to look at.
  [[nodiscard]] uint32_t Offset() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
