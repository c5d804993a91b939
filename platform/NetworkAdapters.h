#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qor {

// One IPv4 address of a network interface. Host order.
struct NetworkAdapter {
  std::string name;
  uint32_t address = 0;
  uint32_t netmask = 0;
};

enum class AdapterState {
  kUp,
  kNoCarrier,  // switched on, but its link is down (no cable, no peer)
  kDown,
};

// A network interface as the system lists it, whatever its state, with its IPv4 addresses
// (none when it has none).
struct NetworkInterface {
  std::string name;        // what people call it: eth0 on Linux, "Ethernet" on Windows
  std::string systemName;  // Windows: the adapter's GUID name; elsewhere the name again
  AdapterState state = AdapterState::kDown;
  bool canBroadcast = false;
  bool loopback = false;
  std::vector<NetworkAdapter> addresses;
};

// Every interface in the order the system lists them; empty when the system cannot tell.
[[nodiscard]] std::vector<NetworkInterface> ListInterfaces();

// The IPv4 addresses of the interfaces that are up and broadcast-capable, in the order the
// system lists them; loopback and point-to-point links are left out. Empty when the system
// cannot tell.
[[nodiscard]] std::vector<NetworkAdapter> ListBroadcastAdapters();

// The interface of interfaces that name calls (its name or system name; on Windows without
// regard to case), when it is up and has an IPv4 address. Throws Exception otherwise, naming
// the interfaces there are.
[[nodiscard]] NetworkInterface ChooseInterface(const std::vector<NetworkInterface>& interfaces,
                                               const std::string& name);

// The directed broadcast address of the adapter's subnet; nothing for a /31 or /32 subnet, which
// has none.
[[nodiscard]] std::optional<uint32_t> DirectedBroadcast(const NetworkAdapter& adapter);

// The number of leading one bits of netmask.
[[nodiscard]] int PrefixLength(uint32_t netmask);

// "up", "no carrier" or "down".
[[nodiscard]] const char* AdapterStateText(AdapterState state);

}  // namespace qor
