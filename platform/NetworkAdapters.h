#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qor {

// One IPv4 address of a network interface that is up and can broadcast. Host order.
struct NetworkAdapter {
  std::string name;
  uint32_t address = 0;
  uint32_t netmask = 0;
};

// The IPv4 addresses of the interfaces that are up and broadcast-capable, in the order the
// system lists them; loopback and point-to-point links are left out. Empty when the system
// cannot tell.
[[nodiscard]] std::vector<NetworkAdapter> ListBroadcastAdapters();

// The directed broadcast address of the adapter's subnet; nothing for a /31 or /32 subnet, which
// has none.
[[nodiscard]] std::optional<uint32_t> DirectedBroadcast(const NetworkAdapter& adapter);

}  // namespace qor
