#include "tools/qor-sim/SimModel.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <numeric>
#include <random>
#include <unordered_map>
#include <utility>

#include "net/Crc32.h"
#include "net/Target.h"
#include "net/TargetEnvironment.h"
#include "net/Wire.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "tools/qor-sim/SparseMemory.h"
#include "tools/qor-sim/StagedCrc.h"
#include "tools/trace/MessageFields.h"

namespace qor::sim {
namespace {

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

Presence PresenceAt(const SimTarget& target, uint32_t nowMs) {
  if (nowMs < target.appearsAt) return Presence::kNotYetAppeared;
  if (target.leavesAt && nowMs >= *target.leavesAt &&
      !(target.returnsAt && nowMs >= *target.returnsAt)) {
    return Presence::kLeft;
  }
  return Presence::kPresent;
}

const char* PresenceText(Presence presence) {
  switch (presence) {
    case Presence::kNotYetAppeared:
      return "not yet appeared";
    case Presence::kLeft:
      return "left";
    case Presence::kPresent:
      break;
  }
  return "present";
}

// Times target has left by nowMs, whether or not it is back.
uint32_t LeavesBy(const SimTarget& target, uint32_t nowMs) {
  return target.returns + (target.leavesAt && nowMs >= *target.leavesAt ? 1 : 0);
}

// Why target answers nothing at nowMs; none when it is up.
const char* SilenceAt(const SimTarget& target, uint32_t nowMs) {
  switch (PresenceAt(target, nowMs)) {
    case Presence::kNotYetAppeared:
      return "not yet appeared";
    case Presence::kLeft:
      return "left the fixture";
    case Presence::kPresent:
      break;
  }
  if (target.goneAt && nowMs >= *target.goneAt) return "gone silent for good";
  if (target.silence != nullptr && nowMs - target.silentSince < target.silentFor) {
    return target.silence;
  }
  return nullptr;
}

// A draw from 0 to 1 (exclusive).
double Draw(std::mt19937& random) { return static_cast<double>(random()) / 4294967296.0; }

// A draw of true with the probability rate; draws nothing at rate 0, so a fault that is not
// asked for leaves the others' draws as they were.
bool Happens(std::mt19937& random, double rate) { return rate > 0 && Draw(random) < rate; }

// The power is gone, or the target restarts: what its staging buffer held is lost.
void LoseStaging(SimTarget& target) {
  target.staging.Fill(0, target.stagedEnd, 0x00);
  target.stagedCrc.Lost();
}

// Catches up with an absence that began, or ended, since a request last reached the target:
// taken off the fixture it lost power; back on it, a later restart may take it off again.
void Settle(SimTarget& target, uint32_t nowMs) {
  if (!target.leavesAt || nowMs < *target.leavesAt) return;
  if (!target.stagingLostOnLeaving) {
    LoseStaging(target);
    target.stagingLostOnLeaving = true;
  }
  if (target.returnsAt && nowMs >= *target.returnsAt) {
    target.leavesAt.reset();
    target.returnsAt.reset();
    ++target.returns;
  }
}

void FallSilent(SimTarget& target, uint32_t nowMs, uint32_t forMs, const char* reason) {
  target.silence = reason;
  target.silentSince = nowMs;
  target.silentFor = forMs;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

bool IsLoopback(uint32_t address) { return (address >> 24) == 127; }

bool IsCarriedOut(uint16_t type) {
  return type == kFillRequest || type == kDataRequest || type == kWriteRequest ||
         type == kReadRequest || type == kRestartRequest;
}

MacAddress MacPlus(const MacAddress& first, uint32_t count) {
  uint64_t value = 0;
  for (const uint8_t byte : first.bytes) value = (value << 8) | byte;
  value += count;
  MacAddress mac;
  for (size_t i = mac.bytes.size(); i-- > 0;) {
    mac.bytes[i] = static_cast<uint8_t>(value);
    value >>= 8;
  }
  return mac;
}

// An address a simulated target may have: one that never leads a request to another machine.
bool MayHold(const SimOptions& o, uint32_t address) {
  return IsLoopback(address) || o.localAddresses.contains(address);
}

// Simulated targets never take an address outside loopback and this machine's own.
void CheckAddresses(const SimOptions& o) {
  if (o.firstAddress == 0) return;
  const uint32_t assigned = o.targets - std::min(o.unassigned, o.targets);
  const uint64_t last = uint64_t{o.firstAddress} + (assigned == 0 ? 0 : assigned - 1);
  bool allowed = last <= 0xFFFFFFFF;
  for (uint64_t address = o.firstAddress; allowed && address <= last; ++address) {
    allowed = MayHold(o, static_cast<uint32_t>(address));
  }
  if (!allowed) {
    throw Exception(
        Format("Simulated targets need 127.x.y.z addresses, or addresses of this machine's own "
               "adapters: %s and %u more",
               IpAddressText(o.firstAddress).c_str(), assigned == 0 ? 0 : assigned - 1));
  }
}

// Without fields when nothing records it: what routes the request and its replies is all kept.
TraceRecord RequestRecord(const SimDatagram& datagram, bool recording) {
  TraceRecord request;
  request.timeMs = datagram.timeMs;
  request.incoming = true;
  request.peerAddress = datagram.source;
  request.peerPort = datagram.sourcePort;
  request.localAddress = datagram.destination;
  request.length = static_cast<uint32_t>(datagram.length);
  if (recording) request.fields = MessageFields(datagram.bytes);
  return request;
}

// A reply from target to whoever sent request.
SimReply MakeReply(const SimTarget& target, const TraceRecord& request, uint16_t type,
                   wire::Bytes bytes, bool recording) {
  SimReply reply;
  reply.record.timeMs = request.timeMs;  // the sender sets the time it leaves
  reply.record.incoming = false;
  reply.record.peerAddress = request.peerAddress;
  reply.record.peerPort = request.peerPort;
  reply.record.localAddress = target.info.ipAddress;
  reply.record.type = type;
  reply.record.mac = target.info.mac;
  reply.record.length = static_cast<uint32_t>(bytes.size());
  if (recording) reply.record.fields = MessageFields(bytes);
  reply.traced = recording;
  reply.bytes = std::move(bytes);
  reply.source = target.info.ipAddress;
  reply.destination = request.peerAddress;
  reply.destinationPort = request.peerPort;
  return reply;
}

}  // namespace

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
                               wire::Bytes bytes) const {
    return MakeReply(target, request, type, std::move(bytes), recording);
  }

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

SimModel::SimModel(const SimOptions& options) : state_(std::make_unique<State>()) {
  CheckAddresses(options);
  state_->options = options;
  state_->CreateTargets();
  state_->ChooseVanishing();
  state_->ChooseComings();
}

SimModel::~SimModel() = default;

void SimModel::SetRecording(bool recording) { state_->recording = recording; }

void SimModel::CatchUp() {
  for (SimTarget* target : state_->uncounted) {
    target->stagedCrc.CatchUp(target->staging);
    target->uncounted = false;
  }
  state_->uncounted.clear();
}

namespace {

// What each target's environment block starts as: the option for all, then the damaged and
// blank ones drawn apart from every other choice.
std::vector<SimEnvBlock> StartingBlocks(const SimOptions& o) {
  std::vector<SimEnvBlock> blocks(o.targets, o.environmentBlock);
  std::seed_seq seeds{o.seed, 0u, 1u};
  std::mt19937 draw(seeds);
  std::vector<uint32_t> order(o.targets);
  std::iota(order.begin(), order.end(), 0u);
  const uint32_t damaged = std::min(o.damagedBlocks, o.targets);
  const uint32_t count = std::min<uint64_t>(uint64_t{damaged} + o.blankBlocks, o.targets);
  for (uint32_t i = 0; i < count; ++i) {
    std::swap(order[i], order[i + draw() % (o.targets - i)]);
    blocks[order[i]] = i < damaged ? SimEnvBlock::kDamaged : SimEnvBlock::kBlank;
  }
  return blocks;
}

}  // namespace

void SimModel::State::CreateTargets() {
  const SimOptions& o = options;
  targets.resize(o.targets);
  const std::vector<SimEnvBlock> blocks = StartingBlocks(o);
  for (uint32_t i = 0; i < o.targets; ++i) {
    SimTarget& target = targets[i];
    target.memory = SparseMemory(pages);
    target.staging = SparseMemory(pages);
    target.info.mac = MacPlus(o.firstMac, i);
    const bool unassigned =
        o.firstAddress == 0 || i >= o.targets - std::min(o.unassigned, o.targets);
    target.info.ipAddress = unassigned ? 0 : o.firstAddress + i;
    target.info.vendorId = o.vendorId;
    target.info.productId = o.productId;
    target.info.stagingSize = o.stagingSize;
    std::seed_seq seeds{o.seed, i + 1};
    target.random.seed(seeds);
    byMac.emplace(target.info.mac, i);
    if (o.environmentLength == 0) continue;

    TargetEnvironment environment;
    if (target.info.ipAddress != 0) {
      environment.entries["ipaddr"] = IpAddressText(target.info.ipAddress);
    }
    environment.entries["netmask"] = "255.0.0.0";
    environment.entries["serial"] = Format("SIM%05u", i + 1);
    environment.entries["bootdelay"] = "3";
    // Set as they are: an empty value is an entry too, as a target may well hold one.
    for (const auto& [name, value] : o.environment) environment.entries[name] = value;
    if (blocks[i] == SimEnvBlock::kBlank) continue;  // unwritten memory reads 0xFF
    DataBlock block = BuildEnvironmentBlock(environment, o.environmentAddress, o.environmentLength);
    if (blocks[i] == SimEnvBlock::kDamaged) block.bytes[0] ^= 0x01;  // the CRC's top byte
    target.memory.Write(block.address, block.bytes.size(), block.bytes.data());
  }
}

// When the late targets appear, and which of those that leave come back: the ones that come
// back drawn apart from every other choice.
void SimModel::State::ChooseComings() {
  const SimOptions& o = options;
  if (o.appearEveryMs > 0) {
    const uint32_t late = std::min(o.appearCount, o.targets);
    for (uint32_t n = 1; n <= late; ++n) {
      targets[o.targets - late + n - 1].appearsAt = uint64_t{n} * o.appearEveryMs;
    }
  }
  if (o.leaveAfterMs == 0 || o.comeBackAfterMs == 0) return;
  const uint32_t count = std::min(o.comeBackCount, o.targets);
  std::seed_seq seeds{o.seed, 2u};
  std::mt19937 draw(seeds);
  std::vector<uint32_t> order(o.targets);
  std::iota(order.begin(), order.end(), 0u);
  for (uint32_t i = 0; i < count; ++i) {
    if (count < o.targets) std::swap(order[i], order[i + draw() % (o.targets - i)]);
    targets[order[i]].comesBack = true;
  }
}

// The targets that go silent for good, and when: drawn apart from every other fault.
void SimModel::State::ChooseVanishing() {
  const uint32_t count = std::min<uint32_t>(options.vanishing, options.targets);
  if (count == 0) return;
  std::seed_seq seeds{options.seed, 0u};
  std::mt19937 draw(seeds);
  std::vector<uint32_t> order(options.targets);
  std::iota(order.begin(), order.end(), 0u);
  const uint32_t within = std::max<uint32_t>(options.vanishWithinMs, 1);
  for (uint32_t i = 0; i < count; ++i) {
    std::swap(order[i], order[i + draw() % (options.targets - i)]);
    targets[order[i]].goneAt = 1 + draw() % within;
  }
}

void SimModel::Handle(const SimDatagram& request, SimOutput& output) {
  ++state_->counters.requests;
  TraceRecord record = RequestRecord(request, state_->recording);
  if (const char* reason = state_->Route(request, record, output)) {
    record.event = "ignored";
    record.reason = reason;
    state_->Note(output, std::move(record));
  }
}

// Carries out a request that reached its target, recording it as handled first; the reason
// when it is ignored instead.
const char* SimModel::State::Route(const SimDatagram& datagram, TraceRecord& request,
                                   SimOutput& output) {
  if (datagram.length > datagram.bytes.size()) return "longer than any request";
  const wire::ByteView bytes = datagram.bytes;
  const auto prefix = wire::Prefix::Decode(bytes);
  if (!prefix) return "too short for a header";
  const uint16_t type = prefix->type;
  request.type = type;
  if (prefix->version != wire::kVersion) return "version is not 1";
  if ((type & wire::kReplyBit) != 0) return "not a request";
  if (type == kDiscoverRequest) {
    Discover(datagram.destination, request, output);
    return nullptr;
  }

  const auto header = wire::Header::Decode(bytes);
  if (!header) return "too short for a MAC";
  request.mac = header->mac;
  const auto found = byMac.find(header->mac);
  if (found == byMac.end()) return "no target has this MAC";
  SimTarget& target = targets[found->second];
  Settle(target, datagram.timeMs);
  if (SilenceAt(target, datagram.timeMs) != nullptr) {
    ++counters.ignoredWhileSilent;
    return SilenceAt(target, datagram.timeMs);
  }
  if (type == kAssignAddressRequest) return Assign(target, bytes, request, output);

  if (!IsCarriedOut(type)) return "unknown request type";
  // Requests 3 to 8 are for the target's own address only, so one target never acts on what
  // was meant for another.
  if (target.info.ipAddress == 0 || datagram.destination != target.info.ipAddress) {
    return "not sent to the target's address";
  }
  const auto tagged = wire::RequestIdHeader::Decode(bytes);
  if (!tagged) return "too short for a requestId";
  request.requestId = tagged->requestId;
  if (const char* fault = Befall(target, datagram.timeMs)) return fault;
  request.event = "handled";
  if (recording) Note(output, request);
  Carry(target, type, bytes, request, datagram.timeMs, output);
  return nullptr;
}

// A drop-off or a power cut, as the target's generator draws them, at the request that meets
// it: the reason it goes unanswered, or none.
const char* SimModel::State::Befall(SimTarget& target, uint32_t nowMs) {
  const auto duration = [&](uint32_t mostMs) { return 1 + target.random() % std::max(mostMs, 1u); };
  if (Happens(target.random, options.dropOffRate)) {
    ++counters.dropOffs;
    FallSilent(target, nowMs, duration(options.dropOffMs), "dropped off the network");
    return target.silence;
  }
  if (Happens(target.random, options.powerCutRate)) {
    ++counters.powerCuts;
    LoseStaging(target);
    FallSilent(target, nowMs, duration(options.powerCutMs), "power cut");
    return target.silence;
  }
  return nullptr;
}

const char* SimModel::State::Assign(SimTarget& target, wire::ByteView bytes, TraceRecord& request,
                                    SimOutput& output) {
  const auto assign = wire::AssignAddressRequest::Decode(bytes);
  if (!assign) return "too short for an address";
  // As at start-up: a simulated target that took a real network's address would have the
  // host send its later requests there.
  if (assign->ipAddress != 0 && !MayHold(options, assign->ipAddress)) {
    return "not a 127.x.y.z address";
  }
  target.info.ipAddress = assign->ipAddress;
  request.event = "handled";
  Note(output, request);
  return nullptr;
}

void SimModel::State::Discover(uint32_t destination, const TraceRecord& request,
                               SimOutput& output) {
  TraceRecord handled = request;
  handled.event = "handled";
  Note(output, std::move(handled));
  // A device hears what is sent to its own address or to all: a discovery sent to one target's
  // address (by a sweep of a range, say) is answered by that target alone.
  const bool toOne = std::any_of(targets.begin(), targets.end(), [destination](const auto& t) {
    return t.info.ipAddress != 0 && t.info.ipAddress == destination;
  });
  for (SimTarget& target : targets) {
    if (toOne && target.info.ipAddress != destination) continue;
    if (SilenceAt(target, request.timeMs) != nullptr) continue;
    const wire::DiscoverReply reply{.mac = target.info.mac,
                                    .ipAddress = target.info.ipAddress,
                                    .vendorId = target.info.vendorId,
                                    .productId = target.info.productId,
                                    .stagingSize = target.info.stagingSize};
    if (Send(target, kDiscoverRequest, Reply(target, request, kDiscoverReply, reply.Encode()),
             output)) {
      ++target.info.discoverReplies;
    }
  }
}

void SimModel::State::Carry(SimTarget& target, uint16_t type, wire::ByteView bytes,
                            const TraceRecord& request, uint32_t nowMs, SimOutput& output) {
  wire::Bytes payload;
  uint32_t status = kStatusOk;
  const auto failure = options.failures.find(type);
  bool restarted = false;
  if (failure != options.failures.end() &&
      (options.failureRate >= 1 || Happens(target.random, options.failureRate))) {
    ++counters.failuresInjected;
    status = failure->second;
  } else if (type == kFillRequest) {
    status = Fill(target, bytes);
  } else if (type == kDataRequest) {
    status = Data(target, bytes);
  } else if (type == kWriteRequest) {
    status = Write(target, bytes, request, output);
  } else if (type == kReadRequest) {
    status = Read(target, bytes, payload);
  } else if (type == kRestartRequest) {
    ++target.info.restarts;
    ++counters.restarts;
    restarted = true;
  }
  const uint32_t requestId = *request.requestId;
  const wire::FinalReply reply{.mac = target.info.mac,
                               .requestId = requestId,
                               .status = status,
                               .payload = std::move(payload)};
  SimReply final = Reply(target, request, kFinalReply, reply.Encode());
  final.record.requestId = requestId;
  final.record.status = status;
  Send(target, type, std::move(final), output);
  // Answered first, as a device acknowledges before it goes down.
  if (restarted) {
    LoseStaging(target);
    if (options.restartMs > 0) FallSilent(target, nowMs, options.restartMs, "restarting");
    if (options.leaveAfterMs > 0 && !target.leavesAt) {
      target.leavesAt = uint64_t{nowMs} + options.leaveAfterMs;
      if (target.comesBack) target.returnsAt = *target.leavesAt + options.comeBackAfterMs;
      target.stagingLostOnLeaving = false;
    }
  }
}

uint32_t SimModel::State::Fill(SimTarget& target, wire::ByteView bytes) {
  const auto fill = wire::FillRequest::Decode(bytes);
  if (!fill) return kStatusBadLength;
  if (fill->length > target.info.stagingSize) return kStatusOutOfRange;
  target.staging.Fill(0, fill->length, 0xFF);
  target.stagedEnd = std::max<uint64_t>(target.stagedEnd, fill->length);
  target.stagedCrc.Filled(fill->length);
  return kStatusOk;
}

uint32_t SimModel::State::Data(SimTarget& target, wire::ByteView bytes) {
  const auto data = wire::DataRequest::DecodeView(bytes);
  if (!data) return kStatusBadLength;
  const uint64_t count = data->data.size();
  if (data->offset + count > target.info.stagingSize) return kStatusOutOfRange;
  target.stagedCrc.CatchUp(target.staging);
  target.staging.Write(data->offset, count, data->data.data());
  target.stagedEnd = std::max<uint64_t>(target.stagedEnd, data->offset + count);
  target.stagedCrc.Wrote(data->offset, count);
  if (!std::exchange(target.uncounted, true)) uncounted.push_back(&target);
  return kStatusOk;
}

uint32_t SimModel::State::Write(SimTarget& target, wire::ByteView bytes, const TraceRecord& request,
                                SimOutput& output) {
  const auto write = wire::WriteRequest::Decode(bytes);
  if (!write) return kStatusBadLength;
  const uint64_t address = write->address;
  const uint64_t count = write->length;
  if (count > target.info.stagingSize || address + count > kAddressSpace) {
    return kStatusOutOfRange;
  }
  // Checked, unless the chunks told it already, then copied.
  const std::optional<uint32_t> counted = target.stagedCrc.Of(target.staging, count);
  if ((counted ? *counted : target.staging.Crc32(0, count)) != write->crc) return kStatusBadCrc;
  const uint32_t steps = options.progressReplies;
  for (uint32_t step = 0; step < steps; ++step) {
    const auto value = static_cast<uint32_t>(address + count * step / steps);
    const wire::ProgressReply progress{
        .mac = target.info.mac, .requestId = write->requestId, .value = value};
    SimReply reply = Reply(target, request, kProgressReply, progress.Encode());
    reply.record.requestId = write->requestId;
    reply.record.status = value;
    Send(target, kWriteRequest, std::move(reply), output);
  }
  target.memory.CopyFrom(target.staging, 0, address, count);
  return kStatusOk;
}

uint32_t SimModel::State::Read(SimTarget& target, wire::ByteView bytes, wire::Bytes& payload) {
  const auto read = wire::ReadRequest::Decode(bytes);
  if (!read) return kStatusBadLength;
  const uint64_t address = read->address;
  const uint64_t count = read->length;
  if (count > kMaxDataBytes) return kStatusBadLength;
  if (address + count > kAddressSpace) return kStatusOutOfRange;
  if (count > 1 && Happens(target.random, options.shortReadRate)) {
    ++counters.shortReads;
    payload.resize(1 + target.random() % (count - 1));
    target.memory.Read(address, payload.size(), payload.data());
    return kStatusOk;
  }
  payload.resize(count);
  target.memory.Read(address, count, payload.data());
  return kStatusOk;
}

bool SimModel::State::Send(SimTarget& target, uint16_t requestType, SimReply reply,
                           SimOutput& output) {
  const bool mayLose = options.lossTypes.empty() || options.lossTypes.count(requestType) > 0;
  if (mayLose && Happens(target.random, options.lossRate)) {
    reply.record.event = "lost";
    reply.record.reason = "simulated loss";
    Note(output, std::move(reply.record));
    ++counters.repliesLost;
    return false;
  }
  // Discoveries wait a fixed time for answers: a late one would only be missed.
  if (requestType != kDiscoverRequest && Happens(target.random, options.lateRate)) {
    ++counters.lateReplies;
    reply.extraDelayMs = options.lateMs;
  }
  if (Happens(target.random, options.duplicateRate)) {
    ++counters.duplicates;
    output.replies.push_back(reply);
  }
  output.replies.push_back(std::move(reply));
  return true;
}

SimTarget& SimModel::State::TargetFor(const MacAddress& mac) {
  const auto found = byMac.find(mac);
  if (found == byMac.end()) {
    throw Exception(Format("No simulated target has MAC %s", mac.ToString().c_str()));
  }
  return targets[found->second];
}

std::vector<SimTargetInfo> SimModel::Targets() const {
  std::vector<SimTargetInfo> infos;
  infos.reserve(state_->targets.size());
  for (const SimTarget& target : state_->targets) infos.push_back(target.info);
  return infos;
}

std::optional<SimTargetInfo> SimModel::FindTarget(const MacAddress& mac) const {
  const auto found = state_->byMac.find(mac);
  if (found == state_->byMac.end()) return std::nullopt;
  return state_->targets[found->second].info;
}

std::vector<uint8_t> SimModel::ReadMemory(const MacAddress& mac, uint32_t address,
                                          uint32_t length) const {
  const uint64_t end = std::min<uint64_t>(uint64_t{address} + length, kAddressSpace);
  std::vector<uint8_t> bytes(end - address);
  state_->TargetFor(mac).memory.Read(address, bytes.size(), bytes.data());
  return bytes;
}

void SimModel::WriteMemory(const MacAddress& mac, uint32_t address,
                           const std::vector<uint8_t>& bytes) {
  const uint64_t end = std::min<uint64_t>(uint64_t{address} + bytes.size(), kAddressSpace);
  state_->TargetFor(mac).memory.Write(address, end - address, bytes.data());
}

std::map<std::string, std::string> SimModel::Environment(const MacAddress& mac) const {
  const SimOptions& o = state_->options;
  if (o.environmentLength < 4) return {};
  const std::vector<uint8_t> block = ReadMemory(mac, o.environmentAddress, o.environmentLength);
  TargetEnvironment environment;
  ParseEnvironmentBlock(block.data(), block.size(), environment);
  return environment.entries;
}

}  // namespace qor::sim

namespace qor::sim {

SimCounters SimModel::Counters() const { return state_->counters; }

std::string SimModel::Dump(const std::vector<SimRegion>& regions, uint32_t nowMs) const {
  const State& s = *state_;
  const SimOptions& o = s.options;
  const SimCounters& c = s.counters;
  uint64_t vanished = 0, left = 0, cameBack = 0;
  for (const SimTarget& target : s.targets) {
    vanished += target.goneAt && nowMs >= *target.goneAt;
    left += LeavesBy(target, nowMs);
    cameBack += target.returns + (target.returnsAt && nowMs >= *target.returnsAt ? 1 : 0);
  }
  nlohmann::ordered_json dump = {
      {"time_ms", nowMs},
      {"counters",
       {{"requests", c.requests},
        {"replies_lost", c.repliesLost},
        {"failures_injected", c.failuresInjected},
        {"drop_offs", c.dropOffs},
        {"power_cuts", c.powerCuts},
        {"restarts", c.restarts},
        {"vanished", vanished},
        {"ignored_while_silent", c.ignoredWhileSilent},
        {"late_replies", c.lateReplies},
        {"duplicates", c.duplicates},
        {"short_reads", c.shortReads},
        {"left", left},
        {"came_back", cameBack}}},
      {"environment", {{"address", o.environmentAddress}, {"length", o.environmentLength}}},
      {"targets", nlohmann::ordered_json::array()}};

  for (const SimTarget& target : s.targets) {
    nlohmann::ordered_json crcs = nlohmann::ordered_json::array();
    for (const SimRegion& region : regions) {
      const uint64_t end =
          std::min<uint64_t>(uint64_t{region.address} + region.length, kAddressSpace);
      const uint32_t crc = target.memory.Crc32(region.address, end - region.address);
      crcs.push_back({{"address", region.address}, {"length", region.length}, {"crc", crc}});
    }
    const char* silence = SilenceAt(target, nowMs);
    dump["targets"].push_back({{"mac", target.info.mac.ToString()},
                               {"ip", IpAddressText(target.info.ipAddress)},
                               {"state", silence != nullptr ? silence : "up"},
                               {"presence", PresenceText(PresenceAt(target, nowMs))},
                               {"leaves", LeavesBy(target, nowMs)},
                               {"restarts", target.info.restarts},
                               {"discover_replies", target.info.discoverReplies},
                               {"environment", Hex(ReadMemory(target.info.mac, o.environmentAddress,
                                                              o.environmentLength))},
                               {"regions", std::move(crcs)}});
  }
  return dump.dump() + "\n";
}

}  // namespace qor::sim
