#pragma once

#include <chrono>

namespace qor {

// How long a receive that is about to sleep first keeps trying without sleeping. A thread that
// sleeps and is woken on another core runs again only after tens of microseconds (on a virtual
// machine most of all): several times a whole round trip on loopback. A peer that answers at once
// is taken in meanwhile instead. It costs at most this much processor time per wait.
inline constexpr std::chrono::microseconds kReceiveSpin{50};

// Calls tryOnce until it reports a datagram taken (true) or kReceiveSpin has passed.
template <typename TryOnce>
bool SpinBeforeSleeping(TryOnce tryOnce) {
  const auto start = std::chrono::steady_clock::now();
  do {
    if (tryOnce()) return true;
  } while (std::chrono::steady_clock::now() - start < kReceiveSpin);
  return false;
}

}  // namespace qor
