#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "script/ByteDigest.h"

namespace qor {

// BLAKE2b-512, the hash minisign signs a file by.
class Blake2bDigest final : public ByteDigest {
 public:
  static constexpr size_t kSize = 64;

  Blake2bDigest();
  ~Blake2bDigest() override;

  void Update(std::span<const uint8_t> bytes) override;
  [[nodiscard]] std::vector<uint8_t> Finish() override;

  // For Script's digests parameter.
  [[nodiscard]] static std::unique_ptr<ByteDigest> Make();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
