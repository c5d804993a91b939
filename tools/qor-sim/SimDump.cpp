#include "tools/qor-sim/SimDump.h"

#include <charconv>

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

}  // namespace qor::sim
