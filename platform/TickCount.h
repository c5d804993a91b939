#pragma once

#include <cstdint>

namespace qor {

// A source of milliseconds that wraps at 2^32, like the system's tick count.
class TickSource {
 public:
  virtual ~TickSource() = default;
  [[nodiscard]] virtual uint32_t Now() = 0;
  // The same clock in microseconds, never wrapping: for telling how long something took.
  [[nodiscard]] virtual uint64_t NowMicroseconds() { return uint64_t{Now()} * 1000; }
};

// Milliseconds since an arbitrary start, wrapping at 2^32. Every timeout in the program reads it.
[[nodiscard]] uint32_t GetTickCount();
// Microseconds on the same clock, from an arbitrary start: how long a run took, finer than the
// tick count can tell.
[[nodiscard]] uint64_t GetMicrosecondCount();

// Replaces the clock for the whole process (tests); nullptr restores the system clock.
// The caller keeps the source alive while it is installed.
void SetTickSource(TickSource* source);

// The system's own clock, whatever source is installed: for threads that must keep real time
// while a test runs the process's tick count by hand.
class SystemTickSource final : public TickSource {
 public:
  uint32_t Now() override;
  uint64_t NowMicroseconds() override;
};

// A clock that moves only when told to.
class FakeTickSource final : public TickSource {
 public:
  explicit FakeTickSource(uint32_t start = 1)
      : now_(start), microseconds_(uint64_t{start} * 1000) {}
  uint32_t Now() override { return now_; }
  uint64_t NowMicroseconds() override { return microseconds_; }
  void Advance(uint32_t milliseconds) {
    now_ += milliseconds;
    microseconds_ += uint64_t{milliseconds} * 1000;
  }
  void Set(uint32_t value) {
    now_ = value;
    microseconds_ = uint64_t{value} * 1000;
  }

 private:
  uint32_t now_;
  uint64_t microseconds_;  // goes on past the tick count's wrap
};

// Installs a source for the lifetime of the object.
class ScopedTickSource {
 public:
  explicit ScopedTickSource(TickSource& source) { SetTickSource(&source); }
  ~ScopedTickSource() { SetTickSource(nullptr); }
  ScopedTickSource(const ScopedTickSource&) = delete;
  ScopedTickSource& operator=(const ScopedTickSource&) = delete;
};

}  // namespace qor
