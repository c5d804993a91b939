#include "exec/LoadSaveEnvContext.h"

#include <algorithm>
#include <stdexcept>

#include "exec/ChunkSender.h"
#include "exec/Crc32.h"
#include "exec/RequestId.h"
#include "exec/ScriptDisplay.h"
#include "exec/TargetEnvironment.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/TickCount.h"
#include "script/DataSection.h"

namespace qor {
namespace {
constexpr uint32_t kResendAfterMs = 1000;
}

struct LoadSaveEnvContext::State {
  State(Context& owner, uint32_t a, uint32_t l)
      : address(a), length(l), chunks(owner, /*showAddresses=*/false) {}
  uint32_t address;
  uint32_t length;
  Phase phase = kReading;
  uint32_t offset = 0;  // *loadenv: of the read outstanding, from the start of the block
  DataBlock chunk;      // *loadenv: the bytes of the last read reply
  ChunkSender chunks;   // *saveenv: the block's way into the staging buffer
  std::unique_ptr<DataSection> buffer;
  bool awaitingReply = false;
  uint32_t status = 0;
  uint32_t sentAt = 0;  // tick count of the last read
};

LoadSaveEnvContext::LoadSaveEnvContext(uint32_t address, uint32_t length)
    : state_(std::make_unique<State>(*this, address, length)) {}

LoadSaveEnvContext::~LoadSaveEnvContext() = default;

void LoadSaveEnvContext::OnReply(uint32_t status, const uint8_t* payload, int32_t length) {
  State& s = *state_;
  if (!s.awaitingReply) return;
  s.status = status;
  s.awaitingReply = false;
  if (s.phase == kReading && status == 0 && payload != nullptr && length > 0) {
    s.chunk.bytes.assign(payload, payload + length);
  }
}

LoadSaveEnvContext::Phase LoadSaveEnvContext::CurrentPhase() const { return state_->phase; }

uint32_t LoadSaveEnvContext::Offset() const {
  return state_->phase == kReading ? state_->offset : state_->chunks.Offset();
}

// Reads the rest of the block from offset, at most 1024 bytes; false when nothing is left.
// Resends come here too: each read, repeated or not, carries a fresh request id.
bool LoadSaveEnvContext::SendRead(TargetNetwork& network, Target& target) {
  State& s = *state_;
  const uint32_t count = std::min<uint32_t>(s.length - s.offset, kMaxDataBytes);
  if (count == 0) return false;
  // Bytes of an earlier reply must never be taken for this one's.
  s.chunk.bytes.clear();
  const uint32_t id = NextRequestId();
  s.awaitingReply = true;
  Hook(target, id);
  network.SendReadRequest(target, id, s.address + s.offset, count);
  s.sentAt = GetTickCount();
  return true;
}

// Sends the next non-blank chunk of the block or, once none is left, the write.
void LoadSaveEnvContext::SendNextChunkOrWrite(TargetNetwork& network, Target& target,
                                              ScriptDisplay& display) {
  State& s = *state_;
  s.awaitingReply = true;
  if (s.chunks.SendNext(*s.buffer, network, target, display)) return;
  s.phase = kWriting;
  display.SetProgress(s.length, s.length);
  // The CRC covers the whole block, its own CRC field included.
  const uint32_t crc = Crc32(std::span<const uint8_t>(s.buffer->Bytes(), s.length));
  const uint32_t id = NextRequestId();
  Hook(target, id);
  network.SendWriteRequest(target, id, s.address, s.length, crc);
}

std::unique_ptr<Context> LoadSaveEnvContext::Run(bool isLoad, uint32_t address, uint32_t length,
                                                 std::unique_ptr<Context> context,
                                                 TargetNetwork& network, Target& target,
                                                 ScriptDisplay& display) {
  if (!context) {
    if (length == 0) throw Exception("Environment block must be of nonzero length");
    if (length > target.stagingSize) {
      throw Exception(
          Format("Environment block of %u bytes is too large for target's %u-byte staging buffer",
                 length, target.stagingSize));
    }
    auto self = std::unique_ptr<LoadSaveEnvContext>(new LoadSaveEnvContext(address, length));
    State& s = *self->state_;
    if (isLoad) {
      s.buffer = std::make_unique<DataSection>(address, length);
      static_cast<void>(self->SendRead(network, target));
    } else {
      s.phase = kFilling;
      display.SetProgress(0, length);
      const uint32_t id = NextRequestId();
      s.awaitingReply = true;
      self->Hook(target, id);
      network.SendFillRequest(target, id, length);
    }
    return self;
  }

  auto* self = dynamic_cast<LoadSaveEnvContext*>(context.get());
  if (self == nullptr) {
    throw std::logic_error("*loadenv/*saveenv was handed another directive's context");
  }
  State& s = *self->state_;

  if (s.awaitingReply) {
    // Reads and data chunks are repeated after a silence; filling and writing never are.
    if (s.phase == kReading && GetTickCount() - s.sentAt > kResendAfterMs) {
      static_cast<void>(self->SendRead(network, target));
    } else if (s.phase == kSending) {
      s.chunks.ResendIfDue(network, target, display);
    }
    return context;
  }

  self->Unhook();
  // A failure status ends the directive without a message; the table and the target stay as
  // they are.
  if (s.status != 0) {
    static constexpr const char* kRequest[] = {"ReadRequest", "FillRequest", "DataRequest",
                                               "WriteRequest"};
    display.TargetRefused(kRequest[s.phase], s.status);
    return nullptr;
  }

  switch (s.phase) {
    case kReading: {
      if (s.chunk.bytes.empty()) {
        // Without a byte the read cannot advance: asking again would spin for ever.
        throw Exception(Format("Target returned no data reading the environment block at %08X",
                               s.address + s.offset));
      }
      s.chunk.address = s.address + s.offset;
      s.buffer->AddBlock(s.chunk);
      s.offset += static_cast<uint32_t>(s.chunk.bytes.size());
      if (self->SendRead(network, target)) return context;
      const DataBlock block = s.buffer->ExtractBlock(s.address, s.length);
      ParseEnvironmentBlock(block.bytes.data(), block.bytes.size(), target.environment);
      return nullptr;
    }
    case kFilling: {
      // The block is built now, from the table as it stands when the buffer is ready.
      s.buffer = std::make_unique<DataSection>(s.address, s.length);
      s.buffer->AddBlock(BuildEnvironmentBlock(target.environment, s.address, s.length));
      s.phase = kSending;
      self->SendNextChunkOrWrite(network, target, display);
      return context;
    }
    case kSending: {
      s.chunks.Acknowledged();
      self->SendNextChunkOrWrite(network, target, display);
      return context;
    }
    case kWriting:
      return nullptr;
  }
  return nullptr;
}

}  // namespace qor
