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

// A count of targets that means every one of them.
inline constexpr uint32_t kAllTargets = 0xFFFFFFFF;

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
  // This many targets, chosen by the seed, start with a damaged block instead, and this many
  // others with a blank one, so that one run meets all three.
  uint32_t damagedBlocks = 0;
  uint32_t blankBlocks = 0;
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
  // Each request of a type in `failures` fails with this probability (0 to 1); 1 is always.
  double failureRate = 1.0;
  // Each request for a target is, with this probability, the moment it drops off the network:
  // it ignores that request and answers nothing, discoveries included, for 1 to dropOffMs
  // milliseconds, then comes back as it was.
  double dropOffRate = 0.0;
  uint32_t dropOffMs = 2000;
  // The same for a power cut (for 1 to powerCutMs): the target comes back with its staging
  // buffer lost, holding zeros where fills and data had reached.
  double powerCutRate = 0.0;
  uint32_t powerCutMs = 2000;
  // A target that carries out a RestartRequest answers it, loses its staging buffer as in a
  // power cut and answers nothing for this long while it starts again.
  uint32_t restartMs = 0;
  // This many targets, chosen by the seed, go silent for good, each at a time drawn from 1 to
  // vanishWithinMs milliseconds after the start. Faults draw from each target's own generator,
  // seeded from seed and its position, so they follow its own requests alone.
  uint32_t vanishing = 0;
  uint32_t vanishWithinMs = 60000;
  // Each reply to a request for a target (not a discovery) leaves lateMs after the others with
  // this probability: after the answer to a repetition of its request, when that comes sooner.
  double lateRate = 0.0;
  uint32_t lateMs = 1500;
  // Each reply is sent twice with this probability.
  double duplicateRate = 0.0;
  // Each ReadRequest is answered with only some of the bytes asked for (at least one) with this
  // probability, as a target may.
  double shortReadRate = 0.0;
  // Targets put on the line one by one: the last appearCount of them (all by default) are not
  // there at the start and answer nothing until they appear, one every appearEveryMs, the first
  // appearEveryMs after the start. 0: every target is there from the start.
  uint32_t appearEveryMs = 0;
  uint32_t appearCount = kAllTargets;
  // A unit is taken off its fixture once flashed: leaveAfterMs after the first RestartRequest it
  // carries out since it appeared or came back, a target leaves, answers nothing and loses its
  // staging buffer. 0: targets never leave.
  uint32_t leaveAfterMs = 0;
  // Put back on the fixture: comeBackAfterMs after leaving a target answers again, with the
  // memory and the address it left with. Only comeBackCount targets (all by default), chosen by
  // the seed, ever come back. 0: none does.
  uint32_t comeBackAfterMs = 0;
  uint32_t comeBackCount = kAllTargets;
  // Where a dump request (SimDump.h) writes every target's state; empty: none is answered.
  std::string dumpPath;
  // JSON Lines trace of every request and reply; empty for none.
  std::string tracePath;
  // Keep the trace in memory too, for Trace() (in-process tests).
  bool keepTrace = false;
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
  uint32_t restarts = 0;         // RestartRequests carried out
  uint32_t discoverReplies = 0;  // DiscoverReplies sent (not lost)
};

// The faults a model has injected so far.
struct SimCounters {
  uint64_t requests = 0;            // datagrams handled
  uint64_t repliesLost = 0;         // by lossRate
  uint64_t failuresInjected = 0;    // by failures
  uint64_t dropOffs = 0;            // by dropOffRate
  uint64_t powerCuts = 0;           // by powerCutRate
  uint64_t restarts = 0;            // RestartRequests carried out
  uint64_t ignoredWhileSilent = 0;  // requests for a target that was answering nothing
  uint64_t lateReplies = 0;         // by lateRate
  uint64_t duplicates = 0;          // by duplicateRate
  uint64_t shortReads = 0;          // by shortReadRate
};

}  // namespace qor::sim
