#pragma once

#include <cstddef>
#include <cstdint>

#include "net/MacAddress.h"

// Big-endian field access and the layout of the messages exchanged with targets, shared by the
// program's senders and dispatch and by the target simulator.
namespace qor::wire {

inline constexpr uint16_t kVersion = 1;
inline constexpr uint16_t kReplyBit = 0x8000;

inline constexpr size_t kVersionOffset = 0;
inline constexpr size_t kTypeOffset = 2;
inline constexpr size_t kMacOffset = 4;
inline constexpr size_t kHeaderLength = 12;  // version, type, MAC, 2 reserved bytes
inline constexpr size_t kRequestIdOffset = 12;

// Lengths of the requests (a DataRequest adds its 1 to 1024 data bytes to kDataHeaderLength).
inline constexpr size_t kDiscoverRequestLength = 4;
inline constexpr size_t kAssignAddressRequestLength = 16;
inline constexpr size_t kFillRequestLength = 24;
inline constexpr size_t kDataHeaderLength = 20;
inline constexpr size_t kWriteRequestLength = 28;
inline constexpr size_t kReadRequestLength = 24;
inline constexpr size_t kRestartRequestLength = 16;

// Replies: a DiscoverReply carries address, IDs and staging size; a Final- or ProgressReply its
// requestId and a status or progress value, a FinalReply then its payload from kPayloadOffset.
inline constexpr size_t kDiscoverReplyLength = 24;
inline constexpr size_t kStatusOffset = 16;
inline constexpr size_t kPayloadOffset = 20;
inline constexpr size_t kFinalReplyMinimum = 20;
inline constexpr size_t kProgressReplyMinimum = 20;

inline uint16_t Get16(const uint8_t* at) { return static_cast<uint16_t>((at[0] << 8) | at[1]); }

inline uint32_t Get32(const uint8_t* at) {
  return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | at[3];
}

inline void Put16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value);
}

inline void Put32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 24);
  at[1] = static_cast<uint8_t>(value >> 16);
  at[2] = static_cast<uint8_t>(value >> 8);
  at[3] = static_cast<uint8_t>(value);
}

inline MacAddress GetMac(const uint8_t* at) {
  MacAddress mac;
  for (size_t i = 0; i < mac.bytes.size(); ++i) mac.bytes[i] = at[i];
  return mac;
}

// The common header: version 1, type, MAC, reserved 0.
inline void PutHeader(uint8_t* at, uint16_t type, const MacAddress& mac) {
  Put16(at + kVersionOffset, kVersion);
  Put16(at + kTypeOffset, type);
  for (size_t i = 0; i < mac.bytes.size(); ++i) at[kMacOffset + i] = mac.bytes[i];
  Put16(at + kMacOffset + 6, 0);
}

}  // namespace qor::wire
