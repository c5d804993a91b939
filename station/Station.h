#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "exec/RunSession.h"
#include "net/ProductKey.h"

namespace qor {

class AddressPool;
class Script;
class StationObserver;
class StationRecord;
class TargetNetwork;
class UnitValues;

struct StationOptions {
  std::string scriptPath;  // the script's full path, as records name it
  std::string scriptSha256;
  std::optional<ProductKey> product;  // only targets of this product
  bool force = false;                 // any product, whatever the script's *script entries
  // Where addresses come from; none: a unit without an address is passed over.
  const AddressPool* pool = nullptr;
  bool readdress = false;  // give every unit an address from the pool, even one that has one
  // How long a unit may take to show its new address in a discovery.
  uint32_t confirmMs = 3000;
  const UnitValues* values = nullptr;  // each unit's own values, if any
  size_t jobs = 4;                     // units in flight at most: being addressed or running
  size_t count = 0;                    // stop once this many have passed; 0: no limit
  double idleSeconds = 0;              // stop after this long without a new unit; 0: never
  uint32_t retries = 0;                // times a failed unit is tried again in one session
  bool again = false;                  // run the units that passed before once more
  bool retryFailed = false;            // run the units that failed before again
  // Pace, time limit, cancel flag, and the runner's options (read-back, silence limits).
  RunSettings run;
  std::string csvPath;  // the end records as CSV too, when not empty
  // The wall clock the records' times come from; empty for the system's.
  std::function<std::chrono::system_clock::time_point()> clock;
};

// Why a station stopped.
enum class StationStop {
  kCount,      // --count units passed
  kIdle,       // no new unit for --idle seconds
  kCancelled,  // the cancel flag: runs in flight cancelled
  kExhausted,  // the address pool ran out while units waited for an address
};

// The production station: watches the network (a discovery every second, each repeated after
// 250 and 500 ms) and takes every target that appears and is meant for the script through the
// same steps: an address from the pool (confirmed by a later discovery), the script run with
// the unit's own values, and a start and an end line in the record, at most jobs units at a
// time. The record decides who is passed over when a station resumes: units that passed (or
// failed) this script before; units that started without an end are taken again.
class Station {
 public:
  static constexpr uint32_t kDiscoverEveryMs = 1000;
  static constexpr uint32_t kRepeatAfterMs[] = {250, 500};
  // After an address is given: the first discovery to show it, then one this often.
  static constexpr uint32_t kProbeAfterMs = 100;
  static constexpr uint32_t kProbeEveryMs = 250;

  struct Counts {
    size_t passed = 0;     // units whose last attempt passed, in this session
    size_t failed = 0;     // ... failed, no retry left
    size_t cancelled = 0;  // ... cancelled
    size_t waiting = 0;    // units found, waiting for a slot
    size_t inFlight = 0;   // being addressed or running
    uint32_t elapsedMs = 0;
  };

  // Throws std::invalid_argument for jobs 0 or an idle time the tick count cannot measure.
  Station(const Script& script, TargetNetwork& network, StationRecord& record,
          StationOptions options, StationObserver& observer);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Provisions until a stop, and says which. Throws Exception when the first discovery cannot
  // be sent or the record cannot be written (runs in flight are then dropped unrecorded).
  StationStop Run();

  [[nodiscard]] Counts CurrentCounts() const;
  // Addresses the pool can still give; none without a pool.
  [[nodiscard]] std::optional<size_t> PoolLeft() const;
  // Every unit this session started ended passed, at its last attempt.
  [[nodiscard]] bool AllPassed() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
