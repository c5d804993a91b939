#include "platform/TickCount.h"

#include <atomic>

#ifdef _WIN32
#include <windows.h>
#else
#include <chrono>
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

uint32_t GetTickCount() {
  if (TickSource* source = installed.load()) return source->Now();
  return SystemTickSource().Now();
}

void SetTickSource(TickSource* source) { installed.store(source); }

}  // namespace qor
