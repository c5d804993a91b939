#include "exec/RequestId.h"

#include <atomic>

namespace qor {
namespace {
std::atomic<uint32_t> state{1};
}

uint32_t NextRequestId() {
  uint32_t current = state.load();
  uint32_t next = 0;
  do {
    next = current * 214013u + 2531011u;
  } while (!state.compare_exchange_weak(current, next));
  return (next >> 16) & 0x7FFF;
}

void ResetRequestIds() { state.store(1); }

}  // namespace qor
