#include "net/AddressAssignment.h"

#include <utility>

#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "platform/Format.h"

namespace qor {

std::string AssignmentProblem(const MacAddress& mac, uint32_t address) {
  const std::string problem = AddressProblem(address);
  if (problem.empty()) return {};
  return Format("Cannot give %s the address %s: %s.", mac.ToString().c_str(),
                IpAddressText(address).c_str(), problem.c_str());
}

AssignmentResult AssignAddress(TargetNetwork& network, const AssignmentRequest& request,
                               const DiscoveryHooks& hooks) {
  const std::string macText = request.mac.ToString();
  const std::string addressText = IpAddressText(request.address);
  const char* force = request.forceName.c_str();
  const auto note = [&hooks](const std::string& text) {
    if (hooks.note) hooks.note(text);
  };
  if (std::string problem = AssignmentProblem(request.mac, request.address); !problem.empty()) {
    return {false, false, std::move(problem)};
  }

  // Two targets at one address would both answer, or neither: look before assigning.
  if (!RunDiscovery(network, request.waitMs, hooks)) return {false, false, {}};
  for (const Target* other : network.Table().InArrivalOrder()) {
    if (other->mac == request.mac || other->ipAddress != request.address) continue;
    const std::string holder = other->mac.ToString();
    if (!request.force) {
      return {false, false,
              Format("%s already holds %s; %s assigns it all the same.", holder.c_str(),
                     addressText.c_str(), force)};
    }
    note(Format("%s already holds %s; assigning it all the same (%s).", holder.c_str(),
                addressText.c_str(), force));
  }
  // An address sent to nobody changes nothing, and a MAC mistyped is the likelier story.
  if (network.Table().Find(request.mac) == nullptr) {
    if (!request.force) {
      return {false, false,
              Format("%s did not answer the discovery; %s sends the address all the same.",
                     macText.c_str(), force)};
    }
    note(Format("%s did not answer the discovery; sending the address all the same (%s).",
                macText.c_str(), force));
  }
  network.SendAssignAddressRequest(request.mac, request.address);
  // No broadcast crosses a router: a target found through the range is also asked at the
  // address it answered from. Sent after the broadcast, which it merely repeats.
  if (const Target* found = network.Table().Find(request.mac);
      found != nullptr && found->ipAddress != 0 && network.Sweep()) {
    network.SendAssignAddressRequest(request.mac, request.address, found);
  }
  if (!request.verify) {
    return {true, true,
            Format("Asked %s to take the address %s.", macText.c_str(), addressText.c_str())};
  }

  // The target does not answer the assignment itself; it shows its address when discovered.
  const Target* target = nullptr;
  DiscoveryHooks confirm = hooks;
  confirm.done = [&] {
    target = network.Table().Find(request.mac);
    return target != nullptr && target->ipAddress == request.address;
  };
  if (!RunDiscovery(network, request.waitMs, confirm)) return {false, true, {}};
  if (target == nullptr) {
    return {false, true,
            Format("%s did not answer a discovery within %u ms.", macText.c_str(), request.waitMs)};
  }
  if (target->ipAddress != request.address) {
    return {false, true,
            Format("%s still reports %s, not %s.", macText.c_str(),
                   TargetAddressText(target->ipAddress).c_str(), addressText.c_str())};
  }
  return {true, true, Format("%s now answers at %s.", macText.c_str(), addressText.c_str())};
}

}  // namespace qor
