#include "tools/qorctl/Interrupt.h"

#include <csignal>

namespace qor::cli {
namespace {

// A signal handler may touch it only because it needs no lock.
static_assert(std::atomic<bool>::is_always_lock_free);
std::atomic<bool> interrupted{false};

extern "C" void OnInterrupt(int) { interrupted.store(true); }

}  // namespace

struct InterruptGuard::State {
  struct sigaction previous {};
};

// Without SA_RESTART, Ctrl-C also wakes a wait on the socket at once.
InterruptGuard::InterruptGuard() : state_(std::make_unique<State>()) {
  interrupted.store(false);
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &state_->previous);
}

InterruptGuard::~InterruptGuard() { sigaction(SIGINT, &state_->previous, nullptr); }

const std::atomic<bool>& InterruptGuard::Flag() const { return interrupted; }

}  // namespace qor::cli
