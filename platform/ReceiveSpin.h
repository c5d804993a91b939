#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

namespace qor {

// Before a receive sleeps, it keeps trying without sleeping for a moment: a thread that sleeps
// and is woken on another core runs again only after tens of microseconds (on a virtual machine
// most of all), several times a whole round trip on loopback, while a peer on another core
// answers within the moment. Between tries the core is offered to whoever else waits for it, so
// that a peer sharing it answers now rather than after our time slice; the time the peer had is
// not counted as spinning, and a thread whose core stays shared moves to another, as two ends of
// a transfer taking turns on one core while another stands idle is the slowest way to run. A
// peer across a network takes longer: after each spin that found nothing, twice as many waits
// as after the last (up to kMostSkipped) sleep at once before the next spin. So a spin costs at
// most kSpin of our own processor time (kMostWaited in all), and where spinning does not pay,
// that once every kMostSkipped waits. A sleep that ends within kSpin shows that spinning pays
// again (a transfer begins after a pause): the caller says so with Woke, and the next wait spins.
class ReceiveSpin {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::microseconds kSpin{200};
  static constexpr int kMostSkipped = 64;
  static constexpr int kTriesPerYield = 4;
  // A yield that takes longer than this gave the core to another thread.
  static constexpr std::chrono::microseconds kYieldAlone{2};
  // However little of it was ours, a spin ends after this.
  static constexpr std::chrono::microseconds kMostWaited{1000};
  // The thread moves to another core at most this often.
  static constexpr std::chrono::milliseconds kMoveEvery{10};

  // A thread that finds its core shared moves to another once it has been shared for moveAfter.
  // The two ends of an exchange wait differently long, or both would move and trade cores.
  ReceiveSpin() = default;
  explicit ReceiveSpin(std::chrono::microseconds moveAfter) : moveAfter_(moveAfter) {}

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
    auto last = start;
    Clock::duration spun{};
    for (int tries = 1;; ++tries) {
      if (tryOnce()) {
        skipped_ = 0;
        return true;
      }
      // A yield costs about as much as a try: yielding after every one would see an answer
      // later, on average, than trying twice as often.
      if (tries % kTriesPerYield != 0) continue;
      const auto yielded = Clock::now();
      std::this_thread::yield();
      sleptAt_ = Clock::now();
      if (sleptAt_ - yielded < kYieldAlone) {
        spun += sleptAt_ - last;
        shared_ = false;
      } else {
        // Another thread had the core meanwhile, the peer often: taking turns with it costs
        // each of us a switch per message while another core may stand idle. That time was
        // not our spin, and sleeping now would have the peer's answer wake us on its core.
        spun += yielded - last;
        if (!shared_) sharedSince_ = yielded;
        shared_ = true;
        if (sleptAt_ - sharedSince_ >= moveAfter_ && sleptAt_ - movedAt_ >= kMoveEvery) {
          movedAt_ = sleptAt_;
          shared_ = false;
          MoveToAnotherCore();
        }
      }
      last = sleptAt_;
      if (spun >= kSpin || sleptAt_ - start >= kMostWaited) break;
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
  std::chrono::microseconds moveAfter_{};
  int skipped_ = 0;  // after the last spin that found nothing
  int toSkip_ = 0;
  Clock::time_point sleptAt_{};
  Clock::time_point movedAt_{};
  bool shared_ = false;  // since sharedSince_, every yield gave the core away
  Clock::time_point sharedSince_{};

  // Moves the calling thread to another core it may run on, where the system has one.
  static void MoveToAnotherCore();
};

}  // namespace qor
