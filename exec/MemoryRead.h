#pragma once

#include <cstdint>
#include <memory>

#include "exec/PendingRequest.h"

namespace qor {

class Context;
class DataSection;
class TargetNetwork;
struct Target;

// Reads an area of the target's memory with ReadRequests of at most 1024 bytes, one at a time,
// from its start upward; a read unanswered for more than 1000 ms goes out again. *loadenv reads
// the environment block this way, and a verified download reads its image back. Each request
// hooks the owning context, to which the target's replies are routed.
class MemoryRead {
 public:
  // what names the area in the error of a read answered without data ("the environment block").
  MemoryRead(Context& owner, uint32_t address, uint32_t length, const char* what);
  ~MemoryRead();
  MemoryRead(const MemoryRead&) = delete;
  MemoryRead& operator=(const MemoryRead&) = delete;

  // Sends the first read; false when the area is empty and nothing went out.
  bool Start(TargetNetwork& network, Target& target);
  // While an answer is awaited: repeats the read when it is due.
  void Wait(TargetNetwork& network, Target& target);
  // After the awaited FinalReply: keeps its bytes and sends the next read. False once the whole
  // area is in. Throws Exception for a refused read, one answered without data or with more
  // than the rest of the area, or a failed send.
  [[nodiscard]] bool Continue(TargetNetwork& network, Target& target);

  // What the owning context receives for the hooked request.
  void OnReply(uint32_t status, const uint8_t* payload, int32_t length);

  [[nodiscard]] const PendingRequest& Request() const;
  // Offset from the start of the area of the read outstanding, or of the bytes still missing.
  [[nodiscard]] uint32_t Offset() const;
  // What has been read so far; bytes not yet read are 0xFF.
  [[nodiscard]] const DataSection& Area() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
