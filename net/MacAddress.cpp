#include "net/MacAddress.h"

#include "platform/Format.h"

namespace qor {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string MacAddress::ToString() const {
  return Format("%02X:%02X:%02X:%02X:%02X:%02X", bytes[0], bytes[1], bytes[2], bytes[3], bytes[4],
                bytes[5]);
}

std::optional<MacAddress> MacAddress::Parse(std::string_view text) {
  constexpr size_t kLength = 6 * 2 + 5;
  if (text.size() != kLength) return std::nullopt;
  const char separator = text[2];
  if (separator != ':' && separator != '-') return std::nullopt;
  MacAddress mac;
  for (size_t i = 0; i < mac.bytes.size(); ++i) {
    const size_t at = i * 3;
    if (i > 0 && text[at - 1] != separator) return std::nullopt;
    const int high = HexValue(text[at]);
    const int low = HexValue(text[at + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    mac.bytes[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return mac;
}

}  // namespace qor
