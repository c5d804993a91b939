#include "trust/MinisignFiles.h"

#include <algorithm>
#include <vector>

#include "platform/Format.h"
#include "trust/Base64.h"

namespace qor {
namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";

// The next line of text, without its LF or CR LF; false when none is left.
bool NextLine(std::string_view& text, std::string_view& line) {
  if (text.empty()) return false;
  const size_t end = text.find('\n');
  line = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return true;
}

// The base64 line as exactly size bytes, or nothing.
std::optional<std::vector<uint8_t>> DecodeExactly(std::string_view line, size_t size) {
  std::optional<std::vector<uint8_t>> bytes = DecodeBase64(line);
  if (!bytes || bytes->size() != size) return std::nullopt;
  return bytes;
}

uint64_t LittleEndian64(const uint8_t* bytes) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

}  // namespace

std::optional<MinisignKey> ParseMinisignKey(std::string_view text) {
  std::string_view comment;
  std::string_view encoded;
  if (!NextLine(text, comment) || !comment.starts_with(kUntrustedPrefix) ||
      !NextLine(text, encoded)) {
    return std::nullopt;
  }
  const auto bytes = DecodeExactly(encoded, 2 + 8 + 32);
  if (!bytes || (*bytes)[0] != 'E' || (*bytes)[1] != 'd') return std::nullopt;
  MinisignKey key;
  key.id = LittleEndian64(bytes->data() + 2);
  std::copy(bytes->begin() + 10, bytes->end(), key.key.begin());
  return key;
}

std::optional<MinisignSignature> ParseMinisignSignature(std::string_view text) {
  std::string_view comment;
  std::string_view encoded;
  std::string_view trusted;
  std::string_view global;
  if (!NextLine(text, comment) || !comment.starts_with(kUntrustedPrefix) ||
      !NextLine(text, encoded) || !NextLine(text, trusted) ||
      !trusted.starts_with(kTrustedPrefix) || !NextLine(text, global)) {
    return std::nullopt;
  }
  const auto bytes = DecodeExactly(encoded, 2 + 8 + 64);
  const auto globalBytes = DecodeExactly(global, 64);
  if (!bytes || !globalBytes || (*bytes)[0] != 'E') return std::nullopt;
  MinisignSignature signature;
  if ((*bytes)[1] == 'D') {
    signature.prehashed = true;
  } else if ((*bytes)[1] == 'd') {
    signature.prehashed = false;
  } else {
    return std::nullopt;
  }
  signature.keyId = LittleEndian64(bytes->data() + 2);
  std::copy(bytes->begin() + 10, bytes->end(), signature.signature.begin());
  signature.trustedComment = std::string(trusted.substr(kTrustedPrefix.size()));
  std::copy(globalBytes->begin(), globalBytes->end(), signature.globalSignature.begin());
  return signature;
}

std::string KeyIdText(uint64_t id) {
  return Format("%016llX", static_cast<unsigned long long>(id));
}

}  // namespace qor
