#include "tools/qor-sim/SimModel.h"

#include <algorithm>
#include <random>
#include <utility>

#include "net/Target.h"
#include "net/TargetEnvironment.h"
#include "net/Wire.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "tools/qor-sim/SimTarget.h"
#include "tools/trace/MessageFields.h"

namespace qor::sim {
namespace {

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

bool IsCarriedOut(uint16_t type) {
  return type == kFillRequest || type == kDataRequest || type == kWriteRequest ||
         type == kReadRequest || type == kRestartRequest;
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

}  // namespace

// A reply from target to whoever sent request.
SimReply SimModel::State::Reply(const SimTarget& target, const TraceRecord& request, uint16_t type,
                                wire::Bytes bytes) const {
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

SimCounters SimModel::Counters() const { return state_->counters; }

void SimModel::SetRecording(bool recording) { state_->recording = recording; }

void SimModel::CatchUp() {
  for (SimTarget* target : state_->uncounted) {
    target->stagedCrc.CatchUp(target->staging);
    target->uncounted = false;
  }
  state_->uncounted.clear();
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
