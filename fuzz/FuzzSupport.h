#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace qor::fuzz {

// Reads the fuzzer's input front to back; past its end every read gives zeros.
class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  [[nodiscard]] bool Done() const { return position_ >= size_; }
  uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
  uint32_t Number(int bytes) {
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) value = value << 8 | Byte();
    return value;
  }
  // Up to count bytes, fewer at the end of the input.
  std::string Bytes(size_t count) {
    const size_t available = position_ < size_ ? size_ - position_ : 0;
    const size_t taken = count < available ? count : available;
    std::string bytes(reinterpret_cast<const char*>(data_ + position_), taken);
    position_ += taken;
    return bytes;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

// A property the code must keep did not hold: report it and stop, so libFuzzer saves the input.
[[noreturn]] inline void Broken(const char* what) {
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}

// A file of this process's own under TMPDIR or, without one, in memory where the system offers
// a folder there: a file written for every input costs a disk far more than the code under test.
inline std::string TempPath(const std::string& name) {
  const char* folder = std::getenv("TMPDIR");
  std::string base = folder != nullptr ? folder : "/tmp";
  if (folder == nullptr && ::access("/dev/shm", W_OK) == 0) base = "/dev/shm";
  return base + "/qor-fuzz-" + std::to_string(::getpid()) + "-" + name;
}

}  // namespace qor::fuzz
