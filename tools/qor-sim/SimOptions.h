#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "net/MacAddress.h"

namespace qor::sim {

// Statuses of the simulated targets' FinalReplies (0 is success).
inline constexpr uint32_t kStatusOk = 0;
inline constexpr uint32_t kStatusBadLength = 1;   // request too short, or a length out of bounds
inline constexpr uint32_t kStatusOutOfRange = 2;  // beyond the staging buffer or the address space
inline constexpr uint32_t kStatusBadCrc = 3;  // WriteRequest CRC-32 differs from the staged bytes
inline constexpr uint32_t kStatusInjected = 0xFF;  // default of SimOptions::failures

// What each target's environment block starts as.
enum class SimEnvBlock {
  kValid,    // the variables under a right CRC
  kBlank,    // every byte 0xFF, as erased flash
  kDamaged,  // the variables under a wrong CRC
};

struct SimOptions {
  uint32_t targets = 1;
  // The first target's MAC; the others count up from it (the last byte first).
  MacAddress firstMac{{0x02, 0x00, 0x00, 0x00, 0x00, 0x01}};
  // The first target's address, the others counting up; 0 starts every target unassigned.
  uint32_t firstAddress = 0x7F00000A;  // 127.0.0.10
  // This many targets at the end of the range start unassigned (address 0).
  uint32_t unassigned = 0;
  uint16_t vendorId = 0x1234;
  uint16_t productId = 0x0001;
  uint32_t stagingSize = 0x100000;
  // The environment block each target starts with (valid CRC); length 0 for none.
  uint32_t environmentAddress = 0x00F00000;
  uint32_t environmentLength = 0x1000;
  // Variables added to (or replacing) the defaults: ipaddr, netmask, serial, bootdelay.
  std::map<std::string, std::string> environment;
  SimEnvBlock environmentBlock = SimEnvBlock::kValid;
  // ProgressReplies sent while carrying out each WriteRequest, before its FinalReply.
  uint32_t progressReplies = 0;
  // Each reply is lost with this probability (0 to 1), drawn from a generator seeded by seed.
  double lossRate = 0.0;
  // Request types whose replies may be lost; empty means every type.
  std::set<uint16_t> lossTypes;
  uint32_t seed = 1;
  // Request types answered with a FinalReply of the given status instead of being carried out.
  std::map<uint16_t, uint32_t> failures;
  // Every reply leaves this long after its request arrived.
  uint32_t replyDelayMs = 0;
  // JSON Lines trace of every request and reply; empty for none.
  std::string tracePath;
  // Keep the trace in memory too, for Trace() (in-process tests).
  bool keepTrace = false;
  // Addresses of this machine's own adapters (host order). A target may have one of them, not
  // only a 127.x.y.z address: what is sent there reaches this simulator and nothing else. In a
  // private network namespace that stands for a LAN, targets get that LAN's addresses so.
  std::set<uint32_t> localAddresses;
  // Where the one socket listens (host order); 0.0.0.0:5266 as real targets do.
  uint32_t bindAddress = 0;
  uint16_t port = 5266;
};

struct SimTargetInfo {
  MacAddress mac;
  uint32_t ipAddress = 0;  // host order; 0 when unassigned
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint32_t stagingSize = 0;
  uint32_t restarts = 0;  // RestartRequests carried out
};

}  // namespace qor::sim
