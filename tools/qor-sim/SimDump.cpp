#include "tools/qor-sim/SimDump.h"

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>

#include "net/Target.h"
#include "tools/qor-sim/SimTarget.h"

namespace qor::sim {
namespace {

std::optional<uint32_t> ParseNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<SimDumpRequest> ParseDumpRequest(std::span<const uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (!text.starts_with(kDumpRequestText)) return std::nullopt;
  std::string_view rest = text.substr(kDumpRequestText.size());
  if (!rest.empty() && rest.front() != ' ') return std::nullopt;

  SimDumpRequest request;
  while (!rest.empty()) {
    const size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    const std::string_view word = rest.substr(0, rest.find(' '));
    rest.remove_prefix(word.size());
    const size_t colon = word.find(':');
    const auto address = ParseNumber(word.substr(0, colon));
    const auto length =
        colon == std::string_view::npos ? std::nullopt : ParseNumber(word.substr(colon + 1));
    // A region that ran past 4 GiB would wrap round to the bottom of memory.
    if (!address || !length || uint64_t{*address} + *length > 0x100000000ULL) {
      request.regions.clear();
      request.error = "not a region ADDRESS:LENGTH within 4 GiB: " + std::string(word);
      return request;
    }
    request.regions.push_back({*address, *length});
  }
  return request;
}

namespace {

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

}  // namespace

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
