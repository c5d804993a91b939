#pragma once

#include <cstdint>
#include <memory>

namespace qor {

class Context;
class DataSection;
class ScriptDisplay;
class TargetNetwork;
struct Target;

// The data phase of a staging-buffer upload, shared by *download and *saveenv: walks an image
// from its start in chunks of at most 1024 bytes and sends each chunk that holds a byte other
// than 0xFF into the target's staging buffer at its offset, one at a time, resending it after a
// silence. The fill before it already put 0xFF everywhere, so blank chunks need not travel.
// Owned by the context that replies are routed to.
class ChunkSender {
 public:
  // showAddresses: show "Sending %08X" and "Resending %08X" on the status line (*download);
  // otherwise no text at all (*saveenv).
  ChunkSender(Context& owner, bool showAddresses);
  ~ChunkSender();
  ChunkSender(const ChunkSender&) = delete;
  ChunkSender& operator=(const ChunkSender&) = delete;

  // Sends the first chunk from the current offset that holds a byte other than 0xFF, hooking
  // the owner to its request; false when the end of the image comes first. Throws the
  // Exception of a failed send.
  [[nodiscard]] bool SendNext(const DataSection& image, TargetNetwork& network, Target& target,
                              ScriptDisplay& display);
  // The chunk in flight was acknowledged: the walk goes on after it.
  void Acknowledged();
  // Sends the chunk in flight again once more than 1000 ms have passed since it was last sent.
  void ResendIfDue(TargetNetwork& network, Target& target, ScriptDisplay& display);

  // Offset from the start of the image of the chunk in flight, or of the next one to look at.
  [[nodiscard]] uint32_t Offset() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
