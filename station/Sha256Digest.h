#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "script/ByteDigest.h"

namespace qor {

// SHA-256, by which a station's record names the exact script file a unit was provisioned with.
class Sha256Digest final : public ByteDigest {
 public:
  static constexpr size_t kSize = 32;

  Sha256Digest();
  ~Sha256Digest() override;

  void Update(std::span<const uint8_t> bytes) override;
  [[nodiscard]] std::vector<uint8_t> Finish() override;

  // The SHA-256 of the whole file at path, as 64 lower-case hexadecimal digits. Throws
  // Exception("Cannot read \"%s\"") when it cannot be read.
  [[nodiscard]] static std::string OfFile(const std::string& path);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
