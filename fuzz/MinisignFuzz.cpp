// Minisign key and signature files as a trusted-keys folder or a NAME.minisig beside a script may
// hold them: anything at all. Base64 that decodes is the one text of its bytes (so no two
// texts give one key or signature), and every field of a file that reads comes from its text.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "trust/Base64.h"
#include "trust/MinisignFiles.h"

namespace {

std::string Encode(const std::vector<uint8_t>& bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t left = bytes.size() - i;
    const uint32_t group = uint32_t{bytes[i]} << 16 | (left > 1 ? uint32_t{bytes[i + 1]} << 8 : 0) |
                           (left > 2 ? bytes[i + 2] : 0);
    text += kAlphabet[group >> 18];
    text += kAlphabet[(group >> 12) & 63];
    text += left > 1 ? kAlphabet[(group >> 6) & 63] : '=';
    text += left > 2 ? kAlphabet[group & 63] : '=';
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (const auto bytes = qor::DecodeBase64(text)) {
    if (Encode(*bytes) != text) qor::fuzz::Broken("base64 text is not the one text of its bytes");
  }
  const std::vector<uint8_t> raw(data, data + size);
  const auto back = qor::DecodeBase64(Encode(raw));
  if (!back || *back != raw) qor::fuzz::Broken("bytes do not come back from their base64");

  if (const auto signature = qor::ParseMinisignSignature(text)) {
    if (text.find("trusted comment: " + signature->trustedComment) == std::string::npos) {
      qor::fuzz::Broken("a trusted comment that the file does not hold");
    }
  }
  static_cast<void>(qor::ParseMinisignKey(text));
  return 0;
}
