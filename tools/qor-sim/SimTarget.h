#pragma once

// The simulator's targets as its model keeps them, and the model's state: what the model's
// requests, its targets' set-up and its dump share. Nothing outside the model includes this.
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <unordered_map>
#include <vector>

#include "net/MacAddress.h"
#include "net/Wire.h"
#include "tools/qor-sim/SimModel.h"
#include "tools/qor-sim/SparseMemory.h"
#include "tools/qor-sim/StagedCrc.h"
#include "tools/trace/TraceRecord.h"

namespace qor::sim {

constexpr uint64_t kAddressSpace = 0x100000000ULL;

struct SimTarget {
  SimTargetInfo info;
  SparseMemory memory;
  SparseMemory staging;
  uint64_t stagedEnd = 0;  // how far fills and data have reached into the staging buffer
  StagedCrc stagedCrc;
  bool uncounted = false;  // in the model's list for CatchUp
  std::mt19937 random;     // this target's faults
  // Answering nothing for silentFor ms from silentSince, for this reason; none when up.
  const char* silence = nullptr;
  uint32_t silentSince = 0;
  uint32_t silentFor = 0;
  std::optional<uint32_t> goneAt;  // when it goes silent for good
  // On the line from appearsAt; off it from leavesAt (armed by a restart) until returnsAt, or
  // for good without one. Times are ms since the start, wide enough never to wrap.
  uint64_t appearsAt = 0;
  std::optional<uint64_t> leavesAt;
  std::optional<uint64_t> returnsAt;
  bool comesBack = false;
  bool stagingLostOnLeaving = false;
  uint32_t returns = 0;  // absences over: left and came back
};

enum class Presence { kPresent, kNotYetAppeared, kLeft };

Presence PresenceAt(const SimTarget& target, uint32_t nowMs);
const char* PresenceText(Presence presence);
// Times target has left by nowMs, whether or not it is back.
uint32_t LeavesBy(const SimTarget& target, uint32_t nowMs);
// Why target answers nothing at nowMs; none when it is up.
const char* SilenceAt(const SimTarget& target, uint32_t nowMs);
// An address a simulated target may have: one that never leads a request to another machine.
bool MayHold(const SimOptions& o, uint32_t address);

struct SimModel::State {
  SimOptions options;
  std::vector<SimTarget> targets;
  // Every target's memory and staging buffer share one: a write passes pages over uncopied.
  std::shared_ptr<PagePool> pages = MakePagePool();
  std::unordered_map<MacAddress, size_t, MacAddressHash> byMac;  // each request looks it up
  SimCounters counters;
  bool recording = true;
  std::vector<SimTarget*> uncounted;  // with chunks waiting for CatchUp

  // Keeps record for the trace, unless nothing records.
  void Note(SimOutput& output, TraceRecord record) const {
    if (recording) output.records.push_back(std::move(record));
  }
  [[nodiscard]] SimReply Reply(const SimTarget& target, const TraceRecord& request, uint16_t type,
                               wire::Bytes bytes) const;

  void CreateTargets();
  void ChooseVanishing();
  void ChooseComings();
  const char* Route(const SimDatagram& datagram, TraceRecord& request, SimOutput& output);
  const char* Befall(SimTarget& target, uint32_t nowMs);
  const char* Assign(SimTarget& target, wire::ByteView bytes, TraceRecord& request,
                     SimOutput& output);
  void Discover(uint32_t destination, const TraceRecord& request, SimOutput& output);
  void Carry(SimTarget& target, uint16_t type, wire::ByteView bytes, const TraceRecord& request,
             uint32_t nowMs, SimOutput& output);
  uint32_t Fill(SimTarget& target, wire::ByteView bytes);
  uint32_t Data(SimTarget& target, wire::ByteView bytes);
  uint32_t Write(SimTarget& target, wire::ByteView bytes, const TraceRecord& request,
                 SimOutput& output);
  uint32_t Read(SimTarget& target, wire::ByteView bytes, wire::Bytes& payload);
  // Sends reply, unless it is lost: whether it went. It may also leave late, or twice: all as
  // target's generator draws.
  bool Send(SimTarget& target, uint16_t requestType, SimReply reply, SimOutput& output);
  [[nodiscard]] SimTarget& TargetFor(const MacAddress& mac);
};

}  // namespace qor::sim
