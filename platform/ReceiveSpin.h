#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

namespace qor {

// Before a receive sleeps, it keeps trying without sleeping for a moment: a thread that sleeps
// and is woken on another core runs again only after tens of microseconds (on a virtual machine
// most of all), several times a whole round trip on loopback, while a peer on another core
// answers within the moment. Between tries the processor is offered to whoever else waits for
// it, so that a peer sharing this core answers now rather than after our time slice. A peer
// across a network takes longer: after each spin that found nothing, twice as many waits as
// after the last (up to kMostSkipped) sleep at once before the next spin. So a spin costs at most
// kSpin of processor time, and where spinning does not pay, that once every kMostSkipped waits.
// A sleep that ends within kSpin shows that spinning pays again (a transfer begins after a
// pause): the caller says so with Woke, and the next wait spins.
class ReceiveSpin {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::microseconds kSpin{50};
  static constexpr int kMostSkipped = 64;

  // Calls tryOnce (true: it took something) until it does or kSpin has passed, unless this wait
  // is one to skip; false when the caller is to sleep.
  template <typename TryOnce>
  bool BeforeSleeping(TryOnce tryOnce) {
    if (toSkip_ > 0) {
      --toSkip_;
      sleptAt_ = Clock::now();
      return false;
    }
    const auto start = Clock::now();
    for (;;) {
      if (tryOnce()) {
        skipped_ = 0;
        return true;
      }
      std::this_thread::yield();
      sleptAt_ = Clock::now();
      if (sleptAt_ - start >= kSpin) break;
    }
    skipped_ = std::min(std::max(2 * skipped_, 1), kMostSkipped);
    toSkip_ = skipped_;
    return false;
  }

  // After BeforeSleeping said to sleep, the sleeping receive took something.
  void Woke() {
    if (Clock::now() - sleptAt_ < kSpin) {
      skipped_ = 0;
      toSkip_ = 0;
    }
  }

 private:
  int skipped_ = 0;  // after the last spin that found nothing
  int toSkip_ = 0;
  Clock::time_point sleptAt_{};
};

}  // namespace qor
