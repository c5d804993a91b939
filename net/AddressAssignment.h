#pragma once

#include <cstdint>
#include <string>

#include "net/Discovery.h"
#include "net/MacAddress.h"

namespace qor {

class TargetNetwork;

// Giving one target a new address, as the operator asks for it.
struct AssignmentRequest {
  MacAddress mac;
  uint32_t address = 0;
  // Discover again afterwards and fail unless the target reports the new address.
  bool verify = false;
  // Send even when another target holds the address, or the MAC did not answer the discovery.
  bool force = false;
  // How long each discovery waits for answers.
  uint32_t waitMs = 1000;
  // How the caller's texts name force ("--force").
  std::string forceName = "--force";
};

struct AssignmentResult {
  bool ok = false;
  bool sent = false;  // the request went out (refused: it did not)
  // What became of it: "Asked ... to take the address ...", "... now answers at ...", or why it
  // was refused or failed; empty when the discovery itself failed (its reason went to note).
  std::string text;
};

// Why no target can be given address: "Cannot give MAC the address ADDR: why."; empty when one
// can.
[[nodiscard]] std::string AssignmentProblem(const MacAddress& mac, uint32_t address);

// Discovers first, and refuses (nothing sent) an address no target can hold, one another target
// already holds and a MAC that did not answer the discovery (the last two unless force, which
// sends all the same with a note). With a range set, the request also goes straight to the
// address the target answered from, as no broadcast crosses a router. Throws the Exception of
// a send that fails.
[[nodiscard]] AssignmentResult AssignAddress(TargetNetwork& network,
                                             const AssignmentRequest& request,
                                             const DiscoveryHooks& hooks = {});

}  // namespace qor
