#include "platform/ConsoleInterrupt.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#endif

namespace qor {
namespace {

// A handler may touch the flag only because that needs no lock.
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free);
std::atomic<std::atomic<bool>*> g_flag{nullptr};

void Raise() {
  if (std::atomic<bool>* flag = g_flag.load()) flag->store(true);
}

#ifdef _WIN32
// Runs on a thread of its own; Ctrl-Break counts as Ctrl-C, closing the console does not.
BOOL WINAPI OnControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  Raise();
  return TRUE;
}
#else
extern "C" void OnInterrupt(int) { Raise(); }
#endif

}  // namespace

struct ConsoleInterrupt::State {
#ifndef _WIN32
  struct sigaction previous {};
#endif
};

ConsoleInterrupt::ConsoleInterrupt(std::atomic<bool>& flag) : state_(std::make_unique<State>()) {
  flag.store(false);
  g_flag.store(&flag);
#ifdef _WIN32
  SetConsoleCtrlHandler(OnControl, TRUE);
#else
  // Without SA_RESTART, Ctrl-C also wakes a wait on the socket at once.
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &state_->previous);
#endif
}

ConsoleInterrupt::~ConsoleInterrupt() {
#ifdef _WIN32
  SetConsoleCtrlHandler(OnControl, FALSE);
#else
  sigaction(SIGINT, &state_->previous, nullptr);
#endif
  g_flag.store(nullptr);
}

}  // namespace qor
