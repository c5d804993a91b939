#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "net/MacAddress.h"
#include "tools/qor-sim/SimDump.h"
#include "tools/qor-sim/SimOptions.h"
#include "tools/trace/TraceRecord.h"

namespace qor::sim {

// One datagram as the socket took it in.
struct SimDatagram {
  std::span<const uint8_t> bytes;  // what was kept of it
  size_t length = 0;               // as sent; more than bytes.size() when it did not fit
  uint32_t source = 0;
  uint16_t sourcePort = 0;
  uint32_t destination = 0;  // the address it was sent to: a broadcast or a target's own
  uint32_t timeMs = 0;       // since the simulator started
};

// A reply to send to the requester, from the target's own address when that is a local one.
struct SimReply {
  std::vector<uint8_t> bytes;
  uint32_t source = 0;
  uint32_t destination = 0;
  uint16_t destinationPort = 0;
  TraceRecord record;         // the sender adds the time and "sent" or "lost"
  bool traced = true;         // false for the answer to a dump request, which is no target's
  uint32_t extraDelayMs = 0;  // held back this much longer than the other replies
};

// What requests led to: trace records to write now, in order, and replies to send.
struct SimOutput {
  std::vector<TraceRecord> records;
  std::vector<SimReply> replies;
};

// The simulated targets themselves, without sockets or threads: each request in, its trace
// record and replies out. Requests are routed by the MAC in their header; faults are injected
// here (replies lost as a seeded generator draws, failure statuses, ProgressReplies, targets
// dropping off, losing power, restarting or going silent for good), and targets arrive on the
// line, leave it and come back as the options say.
// Not thread-safe: the owner serialises calls.
class SimModel {
 public:
  // Throws Exception when the targets' addresses are not all 127.x.y.z.
  explicit SimModel(const SimOptions& options);
  ~SimModel();
  SimModel(const SimModel&) = delete;
  SimModel& operator=(const SimModel&) = delete;

  // Whether Handle writes trace records (SimOutput::records, SimReply::record), as it does from
  // the start; without them a request costs less, and its replies are the same.
  void SetRecording(bool recording);
  // Work that may wait until the replies to the requests handled are out.
  void CatchUp();

  // Carries out one request, appending to output.
  void Handle(const SimDatagram& request, SimOutput& output);

  [[nodiscard]] std::vector<SimTargetInfo> Targets() const;
  [[nodiscard]] std::optional<SimTargetInfo> FindTarget(const MacAddress& mac) const;
  // The part of [address, address + length) below 2^32. Throw Exception for an unknown MAC.
  [[nodiscard]] std::vector<uint8_t> ReadMemory(const MacAddress& mac, uint32_t address,
                                                uint32_t length) const;
  void WriteMemory(const MacAddress& mac, uint32_t address, const std::vector<uint8_t>& bytes);
  // The variables of the target's environment block; empty when its CRC is wrong.
  [[nodiscard]] std::map<std::string, std::string> Environment(const MacAddress& mac) const;
  [[nodiscard]] SimCounters Counters() const;
  // Every target's state at nowMs (ms since the start, as SimDatagram::timeMs) as one JSON
  // object: the counters, then per target its MAC, address, "state" ("up", or why it answers
  // nothing), "presence" on the line ("present", "not yet appeared" or "left") and how many
  // times it has left, restarts, DiscoverReplies sent, its environment block in hexadecimal and
  // the CRC-32 of each region of its memory.
  [[nodiscard]] std::string Dump(const std::vector<SimRegion>& regions, uint32_t nowMs) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor::sim
