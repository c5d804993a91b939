#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "net/MacAddress.h"

namespace qor {

enum MessageType : uint16_t {
  kDiscoverRequest = 1,
  kAssignAddressRequest = 2,
  kFillRequest = 3,
  kDataRequest = 4,
  kWriteRequest = 5,
  kReadRequest = 7,
  kRestartRequest = 8,
  kDiscoverReply = 0x8001,
  kFinalReply = 0x8002,
  kProgressReply = 0x8003,
};

// The most data one DataRequest carries and one ReadRequest asks for.
inline constexpr size_t kMaxDataBytes = 1024;

// The messages exchanged with targets, each a record that encodes itself into the exact bytes
// on the wire (big-endian) and decodes from received bytes. The only place that knows where a
// field sits; the program's senders and dispatch and the target simulator all go through it.
//
// Decode gives nothing for bytes too short for the message, or of another version or type;
// bytes after the last field are ignored (a FinalReply's payload and a DataRequest's data are
// everything after their fixed fields).
namespace wire {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

inline constexpr uint16_t kVersion = 1;
inline constexpr uint16_t kReplyBit = 0x8000;

// What every message starts with, and all there is of a DiscoverRequest. Decode takes any
// version and type, so that a receiver can tell why it drops a message.
struct Prefix {
  static constexpr size_t kLength = 4;
  uint16_t version = kVersion;
  uint16_t type = 0;

  [[nodiscard]] Bytes Encode() const;
  [[nodiscard]] static std::optional<Prefix> Decode(ByteView bytes);
};

// The common header of every message but the DiscoverRequest: version, type, the MAC of the
// target addressed or answering, two reserved bytes 0. Decode takes any version and type.
struct Header {
  static constexpr size_t kLength = 12;
  uint16_t version = kVersion;
  uint16_t type = 0;
  MacAddress mac{};

  [[nodiscard]] Bytes Encode() const;
  [[nodiscard]] static std::optional<Header> Decode(ByteView bytes);
};

// The header and requestId that requests 3 to 8 and Final- and ProgressReplies start with.
struct RequestIdHeader {
  static constexpr size_t kLength = 16;
  Header header{};
  uint32_t requestId = 0;

  [[nodiscard]] Bytes Encode() const;
  [[nodiscard]] static std::optional<RequestIdHeader> Decode(ByteView bytes);
};

struct DiscoverRequest {
  static constexpr uint16_t kType = kDiscoverRequest;
  static constexpr size_t kLength = 4;

  [[nodiscard]] Bytes Encode() const;
  [[nodiscard]] static std::optional<DiscoverRequest> Decode(ByteView bytes);
};

struct AssignAddressRequest {
  static constexpr uint16_t kType = kAssignAddressRequest;
  static constexpr size_t kLength = 16;
  MacAddress mac{};
  uint32_t ipAddress = 0;  // host order; 0 takes the target's address away

  [[nodiscard]] Bytes Encode() const;
  [[nodiscard]] static std::optional<AssignAddressRequest> Decode(ByteView bytes);
};

struct FillRequest {
  static constexpr uint16_t kType = kFillRequest;
  static constexpr size_t kLength = 24;
  MacAddress mac{};
  uint32_t requestId = 0;
  uint32_t fillValue = 0xFFFFFFFF;
  uint32_t length = 0;  // bytes from the start of the staging buffer

  [[nodiscard]] Bytes Encode() const;
  [[nodiscard]] static std::optional<FillRequest> Decode(ByteView bytes);
};

// Carries its data after a 20-byte head. At least one data byte; the 1024-byte limit is the
// sender's, so a receiver still sees what a longer one held.
struct DataRequest {
  static constexpr uint16_t kType = kDataRequest;
  static constexpr size_t kHeaderLength = 20;
  MacAddress mac{};
  uint32_t requestId = 0;
  uint32_t offset = 0;  // in the staging buffer
  Bytes data{};

  [[nodiscard]] Bytes Encode() const;
  // Encode's bytes for the given fields, appended to out: a sender that batches requests puts
  // the chunk straight into its buffer, with one copy.
  static void AppendEncoded(Bytes& out, const MacAddress& mac, uint32_t requestId, uint32_t offset,
                            ByteView data);
  [[nodiscard]] static std::optional<DataRequest> Decode(ByteView bytes);
  // Decode's fields with the data left in bytes: a view, valid while bytes is.
  struct View {
    MacAddress mac{};
    uint32_t requestId = 0;
    uint32_t offset = 0;
    ByteView data{};
  };
  [[nodiscard]] static std::optional<View> DecodeView(ByteView bytes);
};

struct WriteRequest {
  static constexpr uint16_t kType = kWriteRequest;
  static constexpr size_t kLength = 28;
  MacAddress mac{};
  uint32_t requestId = 0;
  uint32_t address = 0;  // target memory
  uint32_t length = 0;   // bytes from the start of the staging buffer
  uint32_t crc = 0;      // CRC-32 of those bytes

  [[nodiscard]] Bytes Encode() const;
  [[nodiscard]] static std::optional<WriteRequest> Decode(ByteView bytes);
};

struct ReadRequest {
  static constexpr uint16_t kType = kReadRequest;
  static constexpr size_t kLength = 24;
  MacAddress mac{};
  uint32_t requestId = 0;
  uint32_t address = 0;
  uint32_t length = 0;

  [[nodiscard]] Bytes Encode() const;
  [[nodiscard]] static std::optional<ReadRequest> Decode(ByteView bytes);
};

struct RestartRequest {
  static constexpr uint16_t kType = kRestartRequest;
  static constexpr size_t kLength = 16;
  MacAddress mac{};
  uint32_t requestId = 0;

  [[nodiscard]] Bytes Encode() const;
  [[nodiscard]] static std::optional<RestartRequest> Decode(ByteView bytes);
};

struct DiscoverReply {
  static constexpr uint16_t kType = kDiscoverReply;
  static constexpr size_t kLength = 24;
  MacAddress mac{};
  uint32_t ipAddress = 0;  // host order; 0 when the target has none
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint32_t stagingSize = 0;

  [[nodiscard]] Bytes Encode() const;
  [[nodiscard]] static std::optional<DiscoverReply> Decode(ByteView bytes);
};

// Ends a request of types 3 to 8; the payload (the bytes read, for a ReadRequest) is everything
// after the 20-byte head.
struct FinalReply {
  static constexpr uint16_t kType = kFinalReply;
  static constexpr size_t kHeaderLength = 20;
  MacAddress mac{};
  uint32_t requestId = 0;
  uint32_t status = 0;  // 0 is success
  Bytes payload{};

  [[nodiscard]] Bytes Encode() const;
  [[nodiscard]] static std::optional<FinalReply> Decode(ByteView bytes);
};

struct ProgressReply {
  static constexpr uint16_t kType = kProgressReply;
  static constexpr size_t kLength = 20;
  MacAddress mac{};
  uint32_t requestId = 0;
  uint32_t value = 0;

  [[nodiscard]] Bytes Encode() const;
  [[nodiscard]] static std::optional<ProgressReply> Decode(ByteView bytes);
};

// The name of a message type ("DataRequest"), or its number in decimal.
[[nodiscard]] std::string MessageTypeName(uint16_t type);

}  // namespace wire
}  // namespace qor
