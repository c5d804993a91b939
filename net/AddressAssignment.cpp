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
  const char* force = request.forceName.c_str();
  const auto note = [&hooks](const std::string& text) {
    if (hooks.note) hooks.note(text);
  };
  AssignmentResult result;
  result.address = request.address;
  const auto refuse = [&result](std::string text) {
    result.text = std::move(text);
    return result;
  };
  if (!request.choose) {
    if (std::string problem = AssignmentProblem(request.mac, request.address); !problem.empty()) {
      return refuse(std::move(problem));
    }
  }

  // Two targets at one address would both answer, or neither: look before assigning.
  if (!RunDiscovery(network, request.waitMs, hooks)) return result;
  const Target* found = network.Table().Find(request.mac);
  if (found != nullptr) result.before = found->ipAddress;
  if (request.choose) {
    std::string problem;
    const std::optional<uint32_t> chosen = request.choose(network.Table(), problem);
    if (!chosen) return refuse(std::move(problem));
    result.address = *chosen;
    if (problem = AssignmentProblem(request.mac, result.address); !problem.empty()) {
      return refuse(std::move(problem));
    }
  }
  const std::string addressText = IpAddressText(result.address);
  // Asked again for what it has: nothing to send, unless forced.
  if (result.before == result.address && !request.force) {
    result.ok = true;
    result.text =
        Format("%s already answers at %s; nothing sent.", macText.c_str(), addressText.c_str());
    return result;
  }
  for (const Target* other : network.Table().InArrivalOrder()) {
    if (other->mac == request.mac || other->ipAddress != result.address) continue;
    const std::string holder = other->mac.ToString();
    if (!request.force) {
      return refuse(Format("%s already holds %s; %s assigns it all the same.", holder.c_str(),
                           addressText.c_str(), force));
    }
    note(Format("%s already holds %s; assigning it all the same (%s).", holder.c_str(),
                addressText.c_str(), force));
  }
  // An address sent to nobody changes nothing, and a MAC mistyped is the likelier story.
  if (found == nullptr) {
    if (!request.force) {
      return refuse(Format("%s did not answer the discovery; %s sends the address all the same.",
                           macText.c_str(), force));
    }
    note(Format("%s did not answer the discovery; sending the address all the same (%s).",
                macText.c_str(), force));
  }
  result.changed = true;
  if (request.dryRun) {
    result.ok = true;
    result.text = Format("Would ask %s to take the address %s; nothing sent (%s).", macText.c_str(),
                         addressText.c_str(), request.dryRunName.c_str());
    return result;
  }
  network.SendAssignAddressRequest(request.mac, result.address);
  result.sent = true;
  // No broadcast crosses a router: a target found through the range is also asked at the
  // address it answered from. Sent after the broadcast, which it merely repeats.
  if (found != nullptr && found->ipAddress != 0 && network.Sweep()) {
    network.SendAssignAddressRequest(request.mac, result.address, found);
  }
  if (!request.verify) {
    result.ok = true;
    result.text = Format("Asked %s to take the address %s.", macText.c_str(), addressText.c_str());
    return result;
  }

  // The target does not answer the assignment itself; it shows its address when discovered.
  const Target* target = nullptr;
  DiscoveryHooks confirm = hooks;
  confirm.done = [&] {
    target = network.Table().Find(request.mac);
    return target != nullptr && target->ipAddress == result.address;
  };
  if (!RunDiscovery(network, request.waitMs, confirm)) return result;
  result.confirmed = target != nullptr && target->ipAddress == result.address;
  if (target == nullptr) {
    return refuse(
        Format("%s did not answer a discovery within %u ms.", macText.c_str(), request.waitMs));
  }
  if (target->ipAddress != result.address) {
    return refuse(Format("%s still reports %s, not %s.", macText.c_str(),
                         TargetAddressText(target->ipAddress).c_str(), addressText.c_str()));
  }
  result.ok = true;
  result.text = Format("%s now answers at %s.", macText.c_str(), addressText.c_str());
  return result;
}

}  // namespace qor
