#include "net/AddressRange.h"

#include <charconv>

#include "net/Target.h"
#include "platform/Exception.h"
#include "platform/Format.h"

namespace qor {

namespace {

uint32_t MaskOf(int prefix) { return prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix); }

}  // namespace

AddressRange AddressRange::Parse(std::string_view text) {
  const std::string quoted(text);
  const auto malformed = [&quoted] {
    return Exception(Format("\"%s\" is not an address range such as 10.71.4.0/24", quoted.c_str()));
  };
  const size_t slash = text.find('/');
  const auto address = ParseIpAddress(text.substr(0, slash));
  if (!address) throw malformed();
  int prefix = 32;
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
    if (digits.empty() || digits.size() > 2 || error != std::errc() ||
        end != digits.data() + digits.size() || prefix < 0 || prefix > 32) {
      throw malformed();
    }
  }
  AddressRange range{*address & MaskOf(prefix), prefix};
  if (prefix < kShortestPrefix) {
    throw Exception(Format("%s holds %llu addresses; a range may be at most a /%d (%u addresses)",
                           range.Text().c_str(), 1ull << (32 - prefix), kShortestPrefix,
                           1u << (32 - kShortestPrefix)));
  }
  // The blocks no target can be in are /8 and /4 ones, so a /16 or smaller lies within or
  // without each: its two ends tell.
  for (const uint32_t end : {range.First(), range.Last()}) {
    if (const std::string problem = AddressProblem(end); !problem.empty()) {
      throw Exception(Format("No target can be in %s: %s", range.Text().c_str(), problem.c_str()));
    }
  }
  return range;
}

uint32_t AddressRange::First() const { return prefix < 31 ? network + 1 : network; }

uint32_t AddressRange::Last() const {
  const uint32_t top = network | ~MaskOf(prefix);
  return prefix < 31 ? top - 1 : top;
}

uint32_t AddressRange::Count() const { return Last() - First() + 1; }

std::string AddressRange::Text() const {
  return Format("%s/%d", IpAddressText(network).c_str(), prefix);
}

}  // namespace qor
