#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "net/Discovery.h"
#include "net/MacAddress.h"

namespace qor {

class TargetNetwork;
class TargetTable;

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
  // Discover, choose and check, but send nothing.
  bool dryRun = false;
  // When set, chooses the address once the discovery has shown who holds what (address is
  // then ignored); empty, with the reason in problem, when there is none to give.
  std::function<std::optional<uint32_t>(const TargetTable& table, std::string& problem)> choose;
  // How the caller's texts name force and a dry run ("--force", "--dry-run").
  std::string forceName = "--force";
  std::string dryRunName = "--dry-run";
};

struct AssignmentResult {
  bool ok = false;
  bool sent = false;  // the request went out (refused: it did not)
  // What became of it: "Asked ... to take the address ...", "... now answers at ...", or why it
  // was refused or failed; empty when the discovery itself failed (its reason went to note).
  std::string text;
  uint32_t address = 0;            // the address given, or that would have been
  std::optional<uint32_t> before;  // what the target reported first; none when it did not answer
  bool changed = false;            // sent (or would have been, in a dry run)
  std::optional<bool> confirmed;   // with verify, whether a discovery showed the new address
};

// Why no target can be given address: "Cannot give MAC the address ADDR: why."; empty when one
// can.
[[nodiscard]] std::string AssignmentProblem(const MacAddress& mac, uint32_t address);

// Discovers first, and refuses (nothing sent) an address no target can hold, one another target
// already holds and a MAC that did not answer the discovery (the last two unless force, which
// sends all the same with a note). A target that already answers at the address is left alone
// (nothing sent, not changed) unless force. With a range set, the request also goes straight to the
// address the target answered from, as no broadcast crosses a router. Throws the Exception of
// a send that fails.
[[nodiscard]] AssignmentResult AssignAddress(TargetNetwork& network,
                                             const AssignmentRequest& request,
                                             const DiscoveryHooks& hooks = {});

}  // namespace qor
