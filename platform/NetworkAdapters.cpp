#include "platform/NetworkAdapters.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, as it requires.
#include <iphlpapi.h>
#else
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#endif

namespace qor {

std::optional<uint32_t> DirectedBroadcast(const NetworkAdapter& adapter) {
  // A /31 link has only its two hosts, a /32 only itself: neither has a broadcast address.
  if ((adapter.netmask & 0xFFFFFFFEu) == 0xFFFFFFFEu) return std::nullopt;
  return adapter.address | ~adapter.netmask;
}

#ifdef _WIN32

namespace {

uint32_t MaskOfPrefix(unsigned length) {
  return length == 0 ? 0 : length >= 32 ? 0xFFFFFFFFu : ~((1u << (32 - length)) - 1);
}

}  // namespace

std::vector<NetworkAdapter> ListBroadcastAdapters() {
  std::vector<NetworkAdapter> adapters;
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  // The list can grow between the call that sizes it and the one that fills it: try again.
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    result = GetAdaptersAddresses(AF_INET, flags, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result != NO_ERROR) return adapters;

  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
       adapter = adapter->Next) {
    if (adapter->OperStatus != IfOperStatusUp) continue;
    const DWORD type = adapter->IfType;
    if (type == IF_TYPE_SOFTWARE_LOOPBACK || type == IF_TYPE_TUNNEL || type == IF_TYPE_PPP) {
      continue;
    }
    for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
         unicast = unicast->Next) {
      const sockaddr* address = unicast->Address.lpSockaddr;
      if (address == nullptr || address->sa_family != AF_INET) continue;
      NetworkAdapter entry;
      entry.name = adapter->AdapterName;
      entry.address = ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
      entry.netmask = MaskOfPrefix(unicast->OnLinkPrefixLength);
      adapters.push_back(std::move(entry));
    }
  }
  return adapters;
}

#else

std::vector<NetworkAdapter> ListBroadcastAdapters() {
  std::vector<NetworkAdapter> adapters;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return adapters;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if (entry->ifa_netmask == nullptr) continue;
    const unsigned flags = entry->ifa_flags;
    if ((flags & IFF_UP) == 0 || (flags & IFF_BROADCAST) == 0 || (flags & IFF_LOOPBACK) != 0) {
      continue;
    }
    NetworkAdapter adapter;
    adapter.name = entry->ifa_name;
    adapter.address = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
    adapter.netmask =
        ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr);
    adapters.push_back(std::move(adapter));
  }
  freeifaddrs(list);
  return adapters;
}

#endif

}  // namespace qor
