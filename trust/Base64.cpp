#include "trust/Base64.h"

#include <array>

namespace qor {
namespace {

constexpr std::array<int8_t, 256> MakeValues() {
  std::array<int8_t, 256> values{};
  for (auto& value : values) value = -1;
  constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) values[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
  return values;
}

constexpr std::array<int8_t, 256> kValues = MakeValues();

}  // namespace

std::optional<std::vector<uint8_t>> DecodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  uint32_t bits = 0;
  int held = 0;
  for (size_t i = 0; i < text.size() - padding; ++i) {
    const int value = kValues[static_cast<uint8_t>(text[i])];
    if (value < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      bytes.push_back(static_cast<uint8_t>(bits >> held));
    }
  }
  // The bits left over by padding must be zero, so that each text has one meaning.
  if ((bits & ((1u << held) - 1)) != 0) return std::nullopt;
  return bytes;
}

}  // namespace qor
