// The simulated targets as they start, and as they come and go.
#include <algorithm>
#include <numeric>
#include <random>

#include "net/Target.h"
#include "net/TargetEnvironment.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "tools/qor-sim/SimTarget.h"

namespace qor::sim {
namespace {

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

}  // namespace

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

uint32_t LeavesBy(const SimTarget& target, uint32_t nowMs) {
  return target.returns + (target.leavesAt && nowMs >= *target.leavesAt ? 1 : 0);
}

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

bool MayHold(const SimOptions& o, uint32_t address) {
  return (address >> 24) == 127 || o.localAddresses.contains(address);
}

SimModel::SimModel(const SimOptions& options) : state_(std::make_unique<State>()) {
  CheckAddresses(options);
  state_->options = options;
  state_->CreateTargets();
  state_->ChooseVanishing();
  state_->ChooseComings();
}

SimModel::~SimModel() = default;

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

}  // namespace qor::sim
