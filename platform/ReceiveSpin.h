#pragma once

#include <algorithm>
#include <chrono>

namespace qor {

// Before a receive sleeps, it keeps trying without sleeping for a moment: a thread that sleeps
// and is woken on another core runs again only after tens of microseconds (on a virtual machine
// most of all), several times a whole round trip on loopback, while a peer on another core
// answers within the moment. A peer that shares this core cannot answer while we spin, and one
// across a network takes longer: after each spin that found nothing, twice as many waits as
// after the last (up to kMostSkipped) sleep at once before the next spin. So a spin costs at most
// kSpin of processor time, and where spinning does not pay, that once every kMostSkipped waits.
class ReceiveSpin {
 public:
  static constexpr std::chrono::microseconds kSpin{50};
  static constexpr int kMostSkipped = 64;

  // Calls tryOnce (true: it took something) until it does or kSpin has passed, unless this wait
  // is one to skip; false when the caller is to sleep.
  template <typename TryOnce>
  bool BeforeSleeping(TryOnce tryOnce) {
    if (toSkip_ > 0) {
      --toSkip_;
      return false;
    }
    const auto start = std::chrono::steady_clock::now();
    do {
      if (tryOnce()) {
        skipped_ = 0;
        return true;
      }
    } while (std::chrono::steady_clock::now() - start < kSpin);
    skipped_ = std::min(std::max(2 * skipped_, 1), kMostSkipped);
    toSkip_ = skipped_;
    return false;
  }

 private:
  int skipped_ = 0;  // after the last spin that found nothing
  int toSkip_ = 0;
};

}  // namespace qor
