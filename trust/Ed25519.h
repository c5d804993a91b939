#pragma once

#include <cstdint>
#include <span>

namespace qor {

// Whether signature is a good Ed25519 signature of message (the message itself, not a hash of
// it) by publicKey.
[[nodiscard]] bool VerifyEd25519(std::span<const uint8_t, 32> publicKey,
                                 std::span<const uint8_t> message,
                                 std::span<const uint8_t, 64> signature);

}  // namespace qor
