#include "tools/qor-sim/SimEngine.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>
#include <unordered_map>

#include "net/Crc32.h"
#include "net/Target.h"
#include "net/TargetEnvironment.h"
#include "net/TargetNetwork.h"
#include "net/Wire.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/UdpSocket.h"
#include "platform/WinsockErrorText.h"

namespace qor::sim {

using namespace wire;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kPageSize = 4096;
constexpr int kWantedSocketBuffer = 8 * 1024 * 1024;
// Requests are at most 1044 bytes; anything longer than this is refused as a whole.
constexpr size_t kReceiveCapacity = 2048;

// Target memory and staging buffers: pages appear when first written, and bytes that were
// never written read 0xFF, as erased flash does.
class SparseMemory {
 public:
  void Read(uint64_t address, uint64_t length, uint8_t* out) const {
    while (length > 0) {
      const uint64_t offset = address % kPageSize;
      const uint64_t run = std::min<uint64_t>(length, kPageSize - offset);
      const auto found = pages_.find(address / kPageSize);
      if (found == pages_.end()) {
        std::fill_n(out, run, 0xFF);
      } else {
        std::copy_n(found->second->data() + offset, run, out);
      }
      out += run;
      address += run;
      length -= run;
    }
  }

  void Write(uint64_t address, uint64_t length, const uint8_t* bytes) {
    while (length > 0) {
      const uint64_t offset = address % kPageSize;
      const uint64_t run = std::min<uint64_t>(length, kPageSize - offset);
      std::copy_n(bytes, run, Page(address / kPageSize).data() + offset);
      bytes += run;
      address += run;
      length -= run;
    }
  }

  void Fill(uint64_t address, uint64_t length, uint8_t value) {
    while (length > 0) {
      const uint64_t offset = address % kPageSize;
      const uint64_t run = std::min<uint64_t>(length, kPageSize - offset);
      if (value == 0xFF && offset == 0 && run == kPageSize) {
        pages_.erase(address / kPageSize);  // a blank page needs no storage
      } else {
        std::fill_n(Page(address / kPageSize).data() + offset, run, value);
      }
      address += run;
      length -= run;
    }
  }

 private:
  using PageBytes = std::array<uint8_t, kPageSize>;

  PageBytes& Page(uint64_t index) {
    auto& page = pages_[index];
    if (!page) {
      page = std::make_unique<PageBytes>();
      page->fill(0xFF);
    }
    return *page;
  }

  std::unordered_map<uint64_t, std::unique_ptr<PageBytes>> pages_;
};

struct SimTarget {
  SimTargetInfo info;
  SparseMemory memory;
  SparseMemory staging;
};

struct OutgoingReply {
  Clock::time_point due;
  std::vector<uint8_t> bytes;
  uint32_t source = 0;  // the target's address, used as the reply's source when it is local
  uint32_t destination = 0;
  uint16_t destinationPort = 0;
  TraceRecord record;
};

bool IsLoopback(uint32_t address) { return (address >> 24) == 127; }

std::string Endpoint(uint32_t address, uint16_t port) {
  return Format("%s:%u", IpAddressText(address).c_str(), port);
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

}  // namespace

std::string MessageTypeName(uint16_t type) {
  switch (type) {
    case kDiscoverRequest:
      return "DiscoverRequest";
    case kAssignAddressRequest:
      return "AssignAddressRequest";
    case kFillRequest:
      return "FillRequest";
    case kDataRequest:
      return "DataRequest";
    case kWriteRequest:
      return "WriteRequest";
    case kReadRequest:
      return "ReadRequest";
    case kRestartRequest:
      return "RestartRequest";
    case kDiscoverReply:
      return "DiscoverReply";
    case kFinalReply:
      return "FinalReply";
    case kProgressReply:
      return "ProgressReply";
    default:
      return std::to_string(type);
  }
}

std::string TraceLine(const TraceRecord& record) {
  nlohmann::ordered_json line;
  line["t"] = record.timeMs;
  line["dir"] = record.incoming ? "in" : "out";
  const std::string peer = Endpoint(record.peerAddress, record.peerPort);
  const std::string local = Endpoint(record.localAddress, kTargetPort);
  line["from"] = record.incoming ? peer : local;
  line["to"] = record.incoming ? local : peer;
  line["type"] = MessageTypeName(record.type);
  if (record.mac) line["mac"] = record.mac->ToString();
  if (record.requestId) line["request_id"] = *record.requestId;
  if (record.status) line[record.type == kProgressReply ? "value" : "status"] = *record.status;
  line["length"] = record.length;
  line["event"] = record.event;
  if (!record.reason.empty()) line["reason"] = record.reason;
  return line.dump();
}

struct SimEngine::State {
  SimOptions options;
  std::vector<SimTarget> targets;
  std::map<MacAddress, size_t> byMac;

  mutable std::mutex mutex;  // guards targets, trace and the reply queue
  std::vector<TraceRecord> trace;
  std::FILE* traceFile = nullptr;
  std::deque<OutgoingReply> queue;
  std::mt19937 random;
  std::atomic<uint64_t> requestCount{0};

  int socket = -1;
  int wakeRead = -1;
  int wakeWrite = -1;
  std::thread thread;
  Clock::time_point started;

  SimTarget& TargetFor(const MacAddress& mac);
  void Record(const TraceRecord& record);
  void Run();
  void ReceiveWaiting();
  void Handle(const uint8_t* bytes, size_t length, uint32_t source, uint16_t sourcePort,
              uint32_t destination);
  void Carry(SimTarget& target, uint16_t type, const uint8_t* bytes, size_t length,
             const TraceRecord& request);
  void Reply(const SimTarget& target, uint16_t requestType, std::vector<uint8_t> bytes,
             const TraceRecord& request);
  void FinalReply(const SimTarget& target, uint16_t requestType, uint32_t requestId,
                  uint32_t status, const TraceRecord& request,
                  const std::vector<uint8_t>& payload = {});
  void SendDue();
  void Transmit(OutgoingReply& reply);
  [[nodiscard]] uint32_t Now() const {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
  }
};

SimEngine::SimEngine(SimOptions options) : state_(std::make_unique<State>()) {
  State& state = *state_;
  state.options = std::move(options);
  const SimOptions& o = state.options;
  if (o.firstAddress != 0) {
    const uint64_t last = uint64_t{o.firstAddress} + (o.targets == 0 ? 0 : o.targets - 1);
    // Simulated targets never take an address outside loopback.
    if (!IsLoopback(o.firstAddress) || last > 0x7FFFFFFF) {
      throw Exception(Format("Simulated targets need 127.x.y.z addresses: %s and %u more",
                             IpAddressText(o.firstAddress).c_str(),
                             o.targets == 0 ? 0 : o.targets - 1));
    }
  }
  state.random.seed(o.seed);
  state.targets.resize(o.targets);
  for (uint32_t i = 0; i < o.targets; ++i) {
    SimTarget& target = state.targets[i];
    target.info.mac = MacPlus(o.firstMac, i);
    const bool unassigned =
        o.firstAddress == 0 || i >= o.targets - std::min(o.unassigned, o.targets);
    target.info.ipAddress = unassigned ? 0 : o.firstAddress + i;
    target.info.vendorId = o.vendorId;
    target.info.productId = o.productId;
    target.info.stagingSize = o.stagingSize;
    state.byMac.emplace(target.info.mac, i);

    if (o.environmentLength > 0) {
      TargetEnvironment environment;
      if (target.info.ipAddress != 0) {
        environment.entries["ipaddr"] = IpAddressText(target.info.ipAddress);
      }
      environment.entries["netmask"] = "255.0.0.0";
      environment.entries["serial"] = Format("SIM%05u", i + 1);
      environment.entries["bootdelay"] = "3";
      for (const auto& [name, value] : o.environment) SetVariable(environment, name, value);
      const DataBlock block =
          BuildEnvironmentBlock(environment, o.environmentAddress, o.environmentLength);
      target.memory.Write(block.address, block.bytes.size(), block.bytes.data());
    }
  }
}

SimEngine::~SimEngine() { Stop(); }

void SimEngine::Start() {
  State& state = *state_;
  if (state.thread.joinable()) return;
  const auto fail = [this](const std::string& what) {
    const std::string reason = WinsockErrorText(WsaCodeFromErrno(errno));
    Stop();
    throw Exception(Format("%s: %s", what.c_str(), reason.c_str()));
  };

  state.socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
  if (state.socket < 0) fail("Failed to create socket");
  int on = 1;
  // The destination address tells a target whether a request was meant for it.
  if (setsockopt(state.socket, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
    fail("Failed to enable IP_PKTINFO");
  }
  for (const int option : {SO_RCVBUFFORCE, SO_RCVBUF}) {
    if (setsockopt(state.socket, SOL_SOCKET, option, &kWantedSocketBuffer,
                   sizeof kWantedSocketBuffer) == 0) {
      break;
    }
  }
  for (const int option : {SO_SNDBUFFORCE, SO_SNDBUF}) {
    if (setsockopt(state.socket, SOL_SOCKET, option, &kWantedSocketBuffer,
                   sizeof kWantedSocketBuffer) == 0) {
      break;
    }
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(state.options.bindAddress);
  local.sin_port = htons(state.options.port);
  if (bind(state.socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    fail(Format("Cannot listen on %s",
                Endpoint(state.options.bindAddress, state.options.port).c_str()));
  }
  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) fail("Failed to create pipe");
  state.wakeRead = wake[0];
  state.wakeWrite = wake[1];

  if (!state.options.tracePath.empty()) {
    state.traceFile = std::fopen(state.options.tracePath.c_str(), "w");
    if (state.traceFile == nullptr) {
      const std::string path = state.options.tracePath;
      Stop();
      throw Exception(Format("Cannot write trace file \"%s\"", path.c_str()));
    }
  }
  state.started = Clock::now();
  state.thread = std::thread([&state] { state.Run(); });
}

void SimEngine::Stop() {
  State& state = *state_;
  if (state.thread.joinable()) {
    const char stop = 1;
    (void)!write(state.wakeWrite, &stop, 1);
    state.thread.join();
  }
  for (int* fd : {&state.socket, &state.wakeRead, &state.wakeWrite}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  std::lock_guard lock(state.mutex);
  state.queue.clear();
  if (state.traceFile != nullptr) {
    std::fclose(state.traceFile);
    state.traceFile = nullptr;
  }
}

void SimEngine::State::Run() {
  for (;;) {
    int timeout = -1;
    {
      std::lock_guard lock(mutex);
      if (!queue.empty()) {
        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(queue.front().due - Clock::now());
        timeout = static_cast<int>(std::max<int64_t>(0, wait.count()));
      }
    }
    pollfd watched[2] = {{socket, POLLIN, 0}, {wakeRead, POLLIN, 0}};
    if (poll(watched, 2, timeout) < 0 && errno != EINTR) return;
    if ((watched[1].revents & POLLIN) != 0) return;
    if ((watched[0].revents & POLLIN) != 0) ReceiveWaiting();
    std::lock_guard lock(mutex);
    SendDue();
    if (traceFile != nullptr) std::fflush(traceFile);
  }
}

void SimEngine::State::ReceiveWaiting() {
  std::array<uint8_t, kReceiveCapacity> buffer;
  // A bounded batch, so delayed replies that fall due meanwhile still leave on time.
  for (int batch = 0; batch < 256; ++batch) {
    sockaddr_in source{};
    iovec part{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t received = recvmsg(socket, &message, MSG_TRUNC);
    if (received < 0) return;
    uint32_t destination = 0;
    for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr;
         item = CMSG_NXTHDR(&message, item)) {
      if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO) {
        in_pktinfo info;
        std::memcpy(&info, CMSG_DATA(item), sizeof info);
        destination = ntohl(info.ipi_addr.s_addr);
      }
    }
    std::lock_guard lock(mutex);
    ++requestCount;
    const uint32_t from = ntohl(source.sin_addr.s_addr);
    const uint16_t fromPort = ntohs(source.sin_port);
    if (static_cast<size_t>(received) > buffer.size()) {
      TraceRecord record;
      record.timeMs = Now();
      record.peerAddress = from;
      record.peerPort = fromPort;
      record.localAddress = destination;
      record.length = static_cast<uint32_t>(received);
      record.event = "ignored";
      record.reason = "longer than any request";
      Record(record);
      continue;
    }
    Handle(buffer.data(), static_cast<size_t>(received), from, fromPort, destination);
    SendDue();
  }
}

void SimEngine::State::Handle(const uint8_t* bytes, size_t length, uint32_t source,
                              uint16_t sourcePort, uint32_t destination) {
  TraceRecord request;
  request.timeMs = Now();
  request.incoming = true;
  request.peerAddress = source;
  request.peerPort = sourcePort;
  request.localAddress = destination;
  request.length = static_cast<uint32_t>(length);
  const auto ignore = [&](const char* reason) {
    request.event = "ignored";
    request.reason = reason;
    Record(request);
  };

  if (length < kTypeOffset + 2) return ignore("too short for a header");
  const uint16_t type = Get16(bytes + kTypeOffset);
  request.type = type;
  if (Get16(bytes + kVersionOffset) != kVersion) return ignore("version is not 1");
  if ((type & kReplyBit) != 0) return ignore("not a request");

  if (type == kDiscoverRequest) {
    request.event = "handled";
    Record(request);
    for (const SimTarget& target : targets) {
      std::vector<uint8_t> reply(kDiscoverReplyLength);
      PutHeader(reply.data(), kDiscoverReply, target.info.mac);
      Put32(reply.data() + 12, target.info.ipAddress);
      Put16(reply.data() + 16, target.info.vendorId);
      Put16(reply.data() + 18, target.info.productId);
      Put32(reply.data() + 20, target.info.stagingSize);
      Reply(target, type, std::move(reply), request);
    }
    return;
  }

  if (length < kHeaderLength) return ignore("too short for a MAC");
  const MacAddress mac = GetMac(bytes + kMacOffset);
  request.mac = mac;
  const auto found = byMac.find(mac);
  if (found == byMac.end()) return ignore("no target has this MAC");
  SimTarget& target = targets[found->second];

  if (type == kAssignAddressRequest) {
    if (length < kAssignAddressRequestLength) return ignore("too short for an address");
    const uint32_t address = Get32(bytes + 12);
    // As at start-up: a simulated target that took a real network's address would have the
    // host send its later requests there.
    if (address != 0 && !IsLoopback(address)) return ignore("not a 127.x.y.z address");
    target.info.ipAddress = address;
    request.event = "handled";
    Record(request);
    return;
  }

  const bool known = type == kFillRequest || type == kDataRequest || type == kWriteRequest ||
                     type == kReadRequest || type == kRestartRequest;
  if (!known) return ignore("unknown request type");
  // Requests 3 to 8 are for the target's own address only, so one target never acts on what
  // was meant for another.
  if (target.info.ipAddress == 0 || destination != target.info.ipAddress) {
    return ignore("not sent to the target's address");
  }
  if (length < kRequestIdOffset + 4) return ignore("too short for a requestId");
  request.requestId = Get32(bytes + kRequestIdOffset);
  request.event = "handled";
  Record(request);
  Carry(target, type, bytes, length, request);
}

void SimEngine::State::Carry(SimTarget& target, uint16_t type, const uint8_t* bytes, size_t length,
                             const TraceRecord& request) {
  const uint32_t requestId = *request.requestId;
  const uint64_t staging = target.info.stagingSize;
  const auto finish = [&](uint32_t status, const std::vector<uint8_t>& payload = {}) {
    FinalReply(target, type, requestId, status, request, payload);
  };

  if (const auto failure = options.failures.find(type); failure != options.failures.end()) {
    return finish(failure->second);
  }

  switch (type) {
    case kFillRequest: {
      if (length < kFillRequestLength) return finish(kStatusBadLength);
      const uint32_t count = Get32(bytes + 20);
      if (count > staging) return finish(kStatusOutOfRange);
      target.staging.Fill(0, count, 0xFF);
      return finish(kStatusOk);
    }
    case kDataRequest: {
      if (length <= kDataHeaderLength) return finish(kStatusBadLength);
      const uint64_t offset = Get32(bytes + 16);
      const uint64_t count = length - kDataHeaderLength;
      if (offset + count > staging) return finish(kStatusOutOfRange);
      target.staging.Write(offset, count, bytes + kDataHeaderLength);
      return finish(kStatusOk);
    }
    case kWriteRequest: {
      if (length < kWriteRequestLength) return finish(kStatusBadLength);
      const uint64_t address = Get32(bytes + 16);
      const uint64_t count = Get32(bytes + 20);
      const uint32_t crc = Get32(bytes + 24);
      if (count > staging || address + count > 0x100000000ULL) return finish(kStatusOutOfRange);
      std::vector<uint8_t> staged(count);
      target.staging.Read(0, count, staged.data());
      if (Crc32(std::span<const uint8_t>(staged)) != crc) return finish(kStatusBadCrc);
      const uint32_t steps = options.progressReplies;
      for (uint32_t step = 0; step < steps; ++step) {
        std::vector<uint8_t> progress(kProgressReplyMinimum);
        PutHeader(progress.data(), kProgressReply, target.info.mac);
        Put32(progress.data() + kRequestIdOffset, requestId);
        Put32(progress.data() + kStatusOffset,
              static_cast<uint32_t>(address + count * step / steps));
        Reply(target, type, std::move(progress), request);
      }
      target.memory.Write(address, count, staged.data());
      return finish(kStatusOk);
    }
    case kReadRequest: {
      if (length < kReadRequestLength) return finish(kStatusBadLength);
      const uint64_t address = Get32(bytes + 16);
      const uint64_t count = Get32(bytes + 20);
      if (count > kMaxDataBytes) return finish(kStatusBadLength);
      if (address + count > 0x100000000ULL) return finish(kStatusOutOfRange);
      std::vector<uint8_t> payload(count);
      target.memory.Read(address, count, payload.data());
      return finish(kStatusOk, payload);
    }
    case kRestartRequest:
      ++target.info.restarts;
      return finish(kStatusOk);
    default:
      return;
  }
}

void SimEngine::State::FinalReply(const SimTarget& target, uint16_t requestType, uint32_t requestId,
                                  uint32_t status, const TraceRecord& request,
                                  const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> reply(kPayloadOffset + payload.size());
  PutHeader(reply.data(), kFinalReply, target.info.mac);
  Put32(reply.data() + kRequestIdOffset, requestId);
  Put32(reply.data() + kStatusOffset, status);
  std::copy(payload.begin(), payload.end(), reply.begin() + kPayloadOffset);
  Reply(target, requestType, std::move(reply), request);
}

void SimEngine::State::Reply(const SimTarget& target, uint16_t requestType,
                             std::vector<uint8_t> bytes, const TraceRecord& request) {
  OutgoingReply reply;
  reply.record.incoming = false;
  reply.record.peerAddress = request.peerAddress;
  reply.record.peerPort = request.peerPort;
  reply.record.localAddress = target.info.ipAddress;
  reply.record.type = Get16(bytes.data() + kTypeOffset);
  reply.record.mac = target.info.mac;
  reply.record.length = static_cast<uint32_t>(bytes.size());
  if (reply.record.type != kDiscoverReply) {
    reply.record.requestId = Get32(bytes.data() + kRequestIdOffset);
    reply.record.status = Get32(bytes.data() + kStatusOffset);
  }

  const bool mayLose = options.lossTypes.empty() || options.lossTypes.count(requestType) > 0;
  if (options.lossRate > 0 && mayLose) {
    const double draw = static_cast<double>(random()) / 4294967296.0;
    if (draw < options.lossRate) {
      reply.record.timeMs = Now();
      reply.record.event = "lost";
      reply.record.reason = "simulated loss";
      Record(reply.record);
      return;
    }
  }
  reply.due = Clock::now() + std::chrono::milliseconds(options.replyDelayMs);
  reply.bytes = std::move(bytes);
  reply.source = target.info.ipAddress;
  reply.destination = request.peerAddress;
  reply.destinationPort = request.peerPort;
  queue.push_back(std::move(reply));
}

void SimEngine::State::SendDue() {
  const auto now = Clock::now();
  // The delay is the same for every reply, so the queue is in order of due time.
  while (!queue.empty() && queue.front().due <= now) {
    Transmit(queue.front());
    queue.pop_front();
  }
}

void SimEngine::State::Transmit(OutgoingReply& reply) {
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr.s_addr = htonl(reply.destination);
  destination.sin_port = htons(reply.destinationPort);
  iovec part{reply.bytes.data(), reply.bytes.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr message{};
  message.msg_name = &destination;
  message.msg_namelen = sizeof destination;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  // Answer from the target's own address when it is a local one, as a device would.
  if (IsLoopback(reply.source)) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* item = CMSG_FIRSTHDR(&message);
    item->cmsg_level = IPPROTO_IP;
    item->cmsg_type = IP_PKTINFO;
    item->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst.s_addr = htonl(reply.source);
    std::memcpy(CMSG_DATA(item), &info, sizeof info);
  }

  reply.record.timeMs = Now();
  for (int attempt = 0;; ++attempt) {
    if (sendmsg(socket, &message, 0) >= 0) {
      reply.record.event = "sent";
      break;
    }
    // A full send queue empties quickly on loopback: wait for room a few times.
    if ((errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) && attempt < 20) {
      pollfd writable{socket, POLLOUT, 0};
      poll(&writable, 1, 10);
      continue;
    }
    reply.record.event = "lost";
    reply.record.reason = WinsockErrorText(WsaCodeFromErrno(errno));
    break;
  }
  Record(reply.record);
}

void SimEngine::State::Record(const TraceRecord& record) {
  if (options.keepTrace) trace.push_back(record);
  if (traceFile != nullptr) std::fprintf(traceFile, "%s\n", TraceLine(record).c_str());
}

SimTarget& SimEngine::State::TargetFor(const MacAddress& mac) {
  const auto found = byMac.find(mac);
  if (found == byMac.end()) {
    throw Exception(Format("No simulated target has MAC %s", mac.ToString().c_str()));
  }
  return targets[found->second];
}

std::vector<SimTargetInfo> SimEngine::Targets() const {
  std::lock_guard lock(state_->mutex);
  std::vector<SimTargetInfo> infos;
  infos.reserve(state_->targets.size());
  for (const SimTarget& target : state_->targets) infos.push_back(target.info);
  return infos;
}

std::optional<SimTargetInfo> SimEngine::FindTarget(const MacAddress& mac) const {
  std::lock_guard lock(state_->mutex);
  const auto found = state_->byMac.find(mac);
  if (found == state_->byMac.end()) return std::nullopt;
  return state_->targets[found->second].info;
}

std::vector<uint8_t> SimEngine::ReadMemory(const MacAddress& mac, uint32_t address,
                                           uint32_t length) const {
  std::lock_guard lock(state_->mutex);
  const uint64_t end = std::min<uint64_t>(uint64_t{address} + length, 0x100000000ULL);
  std::vector<uint8_t> bytes(end - address);
  state_->TargetFor(mac).memory.Read(address, bytes.size(), bytes.data());
  return bytes;
}

void SimEngine::WriteMemory(const MacAddress& mac, uint32_t address,
                            const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(state_->mutex);
  const uint64_t end = std::min<uint64_t>(uint64_t{address} + bytes.size(), 0x100000000ULL);
  state_->TargetFor(mac).memory.Write(address, end - address, bytes.data());
}

std::map<std::string, std::string> SimEngine::Environment(const MacAddress& mac) const {
  const SimOptions& o = state_->options;
  if (o.environmentLength < 4) return {};
  const std::vector<uint8_t> block = ReadMemory(mac, o.environmentAddress, o.environmentLength);
  TargetEnvironment environment;
  ParseEnvironmentBlock(block.data(), block.size(), environment);
  return environment.entries;
}

std::vector<TraceRecord> SimEngine::Trace() const {
  std::lock_guard lock(state_->mutex);
  return state_->trace;
}

uint64_t SimEngine::RequestCount() const { return state_->requestCount.load(); }

}  // namespace qor::sim
