#include "platform/StopRequest.h"

#ifdef _WIN32
#include <windows.h>

#include <atomic>
#else
#include <pthread.h>

#include <csignal>
#endif

namespace qor {

#ifdef _WIN32

namespace {
std::atomic<HANDLE> g_requested{nullptr};

// Runs on a thread of its own; true keeps the default (ending the process at once) away.
BOOL WINAPI OnControl(DWORD) {
  if (HANDLE requested = g_requested.load()) SetEvent(requested);
  return TRUE;
}
}  // namespace

struct StopRequest::State {
  HANDLE requested = nullptr;
};

StopRequest::StopRequest() : state_(std::make_unique<State>()) {
  state_->requested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_requested.store(state_->requested);
  SetConsoleCtrlHandler(OnControl, TRUE);
}

StopRequest::~StopRequest() {
  SetConsoleCtrlHandler(OnControl, FALSE);
  g_requested.store(nullptr);
  if (state_->requested != nullptr) CloseHandle(state_->requested);
}

void StopRequest::Wait() {
  if (state_->requested != nullptr) WaitForSingleObject(state_->requested, INFINITE);
}

#else

struct StopRequest::State {
  sigset_t signals{};
  sigset_t previous{};
};

StopRequest::StopRequest() : state_(std::make_unique<State>()) {
  sigemptyset(&state_->signals);
  sigaddset(&state_->signals, SIGINT);
  sigaddset(&state_->signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &state_->signals, &state_->previous);
}

StopRequest::~StopRequest() { pthread_sigmask(SIG_SETMASK, &state_->previous, nullptr); }

void StopRequest::Wait() {
  int received = 0;
  sigwait(&state_->signals, &received);
}

#endif

}  // namespace qor
