#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/TickCount.h"
#include "tools/qor-sim/SimModel.h"
#include "tools/trace/TraceRecord.h"

namespace qor::sim {

// The simulator's one UDP socket and the thread that serves it: takes datagrams in with the
// address each was sent to, has them answered, and sends the replies from the targets' own
// addresses once the reply delay has passed on the given clock.
class SimTransport {
 public:
  // Called on the transport's thread.
  struct Hooks {
    // Answers one datagram: appends the replies to send.
    std::function<void(const SimDatagram& request, std::vector<SimReply>& replies)> handle;
    // A reply sent, or lost because the socket would not take it.
    std::function<void(const TraceRecord& record)> record;
    // After each wake-up's work.
    std::function<void()> idle;
  };

  SimTransport(uint32_t bindAddress, uint16_t port, uint32_t replyDelayMs, TickSource& clock,
               Hooks hooks);
  ~SimTransport();  // stops
  SimTransport(const SimTransport&) = delete;
  SimTransport& operator=(const SimTransport&) = delete;

  // Binds the socket. Throws Exception naming the failing step and the reason.
  void Open();
  // Starts serving on a thread of its own; trace times count from here.
  void Start();
  // Stops the thread and closes the socket; replies still held back are dropped.
  void Stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor::sim
