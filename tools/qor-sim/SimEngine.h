#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/MacAddress.h"
#include "platform/TickCount.h"
#include "tools/qor-sim/SimOptions.h"
#include "tools/trace/TraceRecord.h"

namespace qor::sim {

// Any number of simulated targets behind one UDP socket, answering requests routed by the MAC
// in their header: the SimModel served by a SimTransport, with the trace. Runs on its own
// thread between Start and Stop; the accessors are safe to call from any thread meanwhile.
class SimEngine {
 public:
  // Throws Exception when the targets' addresses are not all 127.x.y.z.
  explicit SimEngine(SimOptions options);
  // The same on the given clock (kept alive by the caller, read from the engine's thread), so
  // that a test can move the simulator's time by hand.
  SimEngine(SimOptions options, TickSource& clock);
  ~SimEngine();  // stops
  SimEngine(const SimEngine&) = delete;
  SimEngine& operator=(const SimEngine&) = delete;

  // Binds the socket and starts answering. Throws Exception when the socket cannot be opened
  // or the trace file not written.
  void Start();
  // Stops answering and closes the socket; pending delayed replies are dropped.
  void Stop();

  [[nodiscard]] std::vector<SimTargetInfo> Targets() const;
  [[nodiscard]] std::optional<SimTargetInfo> FindTarget(const MacAddress& mac) const;
  // The target's memory; never-written bytes read 0xFF. Throws Exception for an unknown MAC.
  [[nodiscard]] std::vector<uint8_t> ReadMemory(const MacAddress& mac, uint32_t address,
                                                uint32_t length) const;
  // Puts bytes into the target's memory, as if a write had happened.
  void WriteMemory(const MacAddress& mac, uint32_t address, const std::vector<uint8_t>& bytes);
  // The variables of the target's environment block; empty when its CRC is wrong.
  [[nodiscard]] std::map<std::string, std::string> Environment(const MacAddress& mac) const;
  // Everything seen so far (only with SimOptions::keepTrace).
  [[nodiscard]] std::vector<TraceRecord> Trace() const;
  // Datagrams received so far.
  [[nodiscard]] uint64_t RequestCount() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor::sim
