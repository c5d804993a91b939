#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace qor {

// The bytes of standard base64 text, padded with '=' to a multiple of four characters as
// minisign writes it; nothing when text is anything else.
[[nodiscard]] std::optional<std::vector<uint8_t>> DecodeBase64(std::string_view text);

}  // namespace qor
