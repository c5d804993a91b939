#include "platform/TickCount.h"

#include <atomic>
#include <chrono>

#ifdef _WIN32
#include <windows.h>
#endif

namespace qor {
namespace {
std::atomic<TickSource*> installed{nullptr};
}

uint32_t SystemTickSource::Now() {
#ifdef _WIN32
  return ::GetTickCount();
#else
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
#endif
}

uint64_t SystemTickSource::NowMicroseconds() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(since).count());
}

uint32_t GetTickCount() {
  if (TickSource* source = installed.load()) return source->Now();
  return SystemTickSource().Now();
}

uint64_t GetMicrosecondCount() {
  if (TickSource* source = installed.load()) return source->NowMicroseconds();
  return SystemTickSource().NowMicroseconds();
}

void SetTickSource(TickSource* source) { installed.store(source); }

}  // namespace qor
