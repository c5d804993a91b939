#include "tools/qor-sim/SimModel.h"

#include <algorithm>
#include <random>
#include <utility>

#include "net/Crc32.h"
#include "net/Target.h"
#include "net/TargetEnvironment.h"
#include "net/Wire.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "tools/qor-sim/SparseMemory.h"
#include "tools/trace/MessageFields.h"

namespace qor::sim {
namespace {

constexpr uint64_t kAddressSpace = 0x100000000ULL;

struct SimTarget {
  SimTargetInfo info;
  SparseMemory memory;
  SparseMemory staging;
};

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

TraceRecord RequestRecord(const SimDatagram& datagram) {
  TraceRecord request;
  request.timeMs = datagram.timeMs;
  request.incoming = true;
  request.peerAddress = datagram.source;
  request.peerPort = datagram.sourcePort;
  request.localAddress = datagram.destination;
  request.length = static_cast<uint32_t>(datagram.length);
  request.fields = MessageFields(datagram.bytes);
  return request;
}

// A reply from target to whoever sent request.
SimReply MakeReply(const SimTarget& target, const TraceRecord& request, uint16_t type,
                   wire::Bytes bytes) {
  SimReply reply;
  reply.record.timeMs = request.timeMs;  // the sender sets the time it leaves
  reply.record.incoming = false;
  reply.record.peerAddress = request.peerAddress;
  reply.record.peerPort = request.peerPort;
  reply.record.localAddress = target.info.ipAddress;
  reply.record.type = type;
  reply.record.mac = target.info.mac;
  reply.record.length = static_cast<uint32_t>(bytes.size());
  reply.record.fields = MessageFields(bytes);
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
  std::map<MacAddress, size_t> byMac;
  std::mt19937 random;
  std::vector<uint8_t> scratch;

  void CreateTargets();
  const char* Route(const SimDatagram& datagram, TraceRecord& request, SimOutput& output);
  const char* Assign(SimTarget& target, wire::ByteView bytes, TraceRecord& request,
                     SimOutput& output);
  void Discover(uint32_t destination, const TraceRecord& request, SimOutput& output);
  void Carry(SimTarget& target, uint16_t type, wire::ByteView bytes, const TraceRecord& request,
             SimOutput& output);
  uint32_t Fill(SimTarget& target, wire::ByteView bytes);
  uint32_t Data(SimTarget& target, wire::ByteView bytes);
  uint32_t Write(SimTarget& target, wire::ByteView bytes, const TraceRecord& request,
                 SimOutput& output);
  uint32_t Read(SimTarget& target, wire::ByteView bytes, wire::Bytes& payload);
  // Sends reply, unless the loss generator takes it.
  void Send(uint16_t requestType, SimReply reply, SimOutput& output);
  [[nodiscard]] SimTarget& TargetFor(const MacAddress& mac);
};

SimModel::SimModel(const SimOptions& options) : state_(std::make_unique<State>()) {
  CheckAddresses(options);
  state_->options = options;
  state_->random.seed(options.seed);
  state_->CreateTargets();
}

SimModel::~SimModel() = default;

void SimModel::State::CreateTargets() {
  const SimOptions& o = options;
  targets.resize(o.targets);
  for (uint32_t i = 0; i < o.targets; ++i) {
    SimTarget& target = targets[i];
    target.info.mac = MacPlus(o.firstMac, i);
    const bool unassigned =
        o.firstAddress == 0 || i >= o.targets - std::min(o.unassigned, o.targets);
    target.info.ipAddress = unassigned ? 0 : o.firstAddress + i;
    target.info.vendorId = o.vendorId;
    target.info.productId = o.productId;
    target.info.stagingSize = o.stagingSize;
    byMac.emplace(target.info.mac, i);
    if (o.environmentLength == 0) continue;

    TargetEnvironment environment;
    if (target.info.ipAddress != 0) {
      environment.entries["ipaddr"] = IpAddressText(target.info.ipAddress);
    }
    environment.entries["netmask"] = "255.0.0.0";
    environment.entries["serial"] = Format("SIM%05u", i + 1);
    environment.entries["bootdelay"] = "3";
    for (const auto& [name, value] : o.environment) SetVariable(environment, name, value);
    if (o.environmentBlock == SimEnvBlock::kBlank) continue;  // unwritten memory reads 0xFF
    DataBlock block = BuildEnvironmentBlock(environment, o.environmentAddress, o.environmentLength);
    if (o.environmentBlock == SimEnvBlock::kDamaged) block.bytes[0] ^= 0x01;  // the CRC's top byte
    target.memory.Write(block.address, block.bytes.size(), block.bytes.data());
  }
}

void SimModel::Handle(const SimDatagram& request, SimOutput& output) {
  TraceRecord record = RequestRecord(request);
  if (const char* reason = state_->Route(request, record, output)) {
    record.event = "ignored";
    record.reason = reason;
    output.records.push_back(std::move(record));
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
  request.event = "handled";
  output.records.push_back(request);
  Carry(target, type, bytes, request, output);
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
  output.records.push_back(request);
  return nullptr;
}

void SimModel::State::Discover(uint32_t destination, const TraceRecord& request,
                               SimOutput& output) {
  TraceRecord handled = request;
  handled.event = "handled";
  output.records.push_back(std::move(handled));
  // A device hears what is sent to its own address or to all: a discovery sent to one target's
  // address (by a sweep of a range, say) is answered by that target alone.
  const bool toOne = std::any_of(targets.begin(), targets.end(), [destination](const auto& t) {
    return t.info.ipAddress != 0 && t.info.ipAddress == destination;
  });
  for (const SimTarget& target : targets) {
    if (toOne && target.info.ipAddress != destination) continue;
    const wire::DiscoverReply reply{.mac = target.info.mac,
                                    .ipAddress = target.info.ipAddress,
                                    .vendorId = target.info.vendorId,
                                    .productId = target.info.productId,
                                    .stagingSize = target.info.stagingSize};
    Send(kDiscoverRequest, MakeReply(target, request, kDiscoverReply, reply.Encode()), output);
  }
}

void SimModel::State::Carry(SimTarget& target, uint16_t type, wire::ByteView bytes,
                            const TraceRecord& request, SimOutput& output) {
  wire::Bytes payload;
  uint32_t status = kStatusOk;
  if (const auto failure = options.failures.find(type); failure != options.failures.end()) {
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
  }
  const uint32_t requestId = *request.requestId;
  const wire::FinalReply reply{.mac = target.info.mac,
                               .requestId = requestId,
                               .status = status,
                               .payload = std::move(payload)};
  SimReply final = MakeReply(target, request, kFinalReply, reply.Encode());
  final.record.requestId = requestId;
  final.record.status = status;
  Send(type, std::move(final), output);
}

uint32_t SimModel::State::Fill(SimTarget& target, wire::ByteView bytes) {
  const auto fill = wire::FillRequest::Decode(bytes);
  if (!fill) return kStatusBadLength;
  if (fill->length > target.info.stagingSize) return kStatusOutOfRange;
  target.staging.Fill(0, fill->length, 0xFF);
  return kStatusOk;
}

uint32_t SimModel::State::Data(SimTarget& target, wire::ByteView bytes) {
  const auto data = wire::DataRequest::Decode(bytes);
  if (!data) return kStatusBadLength;
  const uint64_t count = data->data.size();
  if (data->offset + count > target.info.stagingSize) return kStatusOutOfRange;
  target.staging.Write(data->offset, count, data->data.data());
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
  std::vector<uint8_t>& staged = scratch;  // reused: writes are as large as staging buffers
  staged.resize(count);
  target.staging.Read(0, count, staged.data());
  if (Crc32(std::span<const uint8_t>(staged)) != write->crc) return kStatusBadCrc;
  const uint32_t steps = options.progressReplies;
  for (uint32_t step = 0; step < steps; ++step) {
    const auto value = static_cast<uint32_t>(address + count * step / steps);
    const wire::ProgressReply progress{
        .mac = target.info.mac, .requestId = write->requestId, .value = value};
    SimReply reply = MakeReply(target, request, kProgressReply, progress.Encode());
    reply.record.requestId = write->requestId;
    reply.record.status = value;
    Send(kWriteRequest, std::move(reply), output);
  }
  target.memory.Write(address, count, staged.data());
  return kStatusOk;
}

uint32_t SimModel::State::Read(SimTarget& target, wire::ByteView bytes, wire::Bytes& payload) {
  const auto read = wire::ReadRequest::Decode(bytes);
  if (!read) return kStatusBadLength;
  const uint64_t address = read->address;
  const uint64_t count = read->length;
  if (count > kMaxDataBytes) return kStatusBadLength;
  if (address + count > kAddressSpace) return kStatusOutOfRange;
  payload.resize(count);
  target.memory.Read(address, count, payload.data());
  return kStatusOk;
}

void SimModel::State::Send(uint16_t requestType, SimReply reply, SimOutput& output) {
  const bool mayLose = options.lossTypes.empty() || options.lossTypes.count(requestType) > 0;
  if (options.lossRate > 0 && mayLose) {
    const double draw = static_cast<double>(random()) / 4294967296.0;
    if (draw < options.lossRate) {
      reply.record.event = "lost";
      reply.record.reason = "simulated loss";
      output.records.push_back(std::move(reply.record));
      return;
    }
  }
  output.replies.push_back(std::move(reply));
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
