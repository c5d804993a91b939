#include "tools/qorctl/Interrupt.h"

#include "platform/ConsoleInterrupt.h"

namespace qor::cli {
namespace {
std::atomic<bool> interrupted{false};
}  // namespace

struct InterruptGuard::State {
  ConsoleInterrupt handler{interrupted};
};

InterruptGuard::InterruptGuard() : state_(std::make_unique<State>()) {}

InterruptGuard::~InterruptGuard() = default;

const std::atomic<bool>& InterruptGuard::Flag() const { return interrupted; }

}  // namespace qor::cli
