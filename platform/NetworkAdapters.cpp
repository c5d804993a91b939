#include "platform/NetworkAdapters.h"

#include <algorithm>
#include <cctype>

#include "platform/Exception.h"
#include "platform/Format.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, as it requires.
#include <iphlpapi.h>

#include "platform/WideText.h"
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

int PrefixLength(uint32_t netmask) {
  int length = 0;
  while (length < 32 && (netmask & (0x80000000u >> length)) != 0) ++length;
  return length;
}

const char* AdapterStateText(AdapterState state) {
  switch (state) {
    case AdapterState::kUp:
      return "up";
    case AdapterState::kNoCarrier:
      return "no carrier";
    case AdapterState::kDown:
      break;
  }
  return "down";
}

std::vector<NetworkAdapter> ListBroadcastAdapters() {
  std::vector<NetworkAdapter> adapters;
  for (const NetworkInterface& entry : ListInterfaces()) {
    // Without carrier still: a broadcast there costs nothing, and the link may come up.
    if (entry.state == AdapterState::kDown || !entry.canBroadcast || entry.loopback) continue;
    adapters.insert(adapters.end(), entry.addresses.begin(), entry.addresses.end());
  }
  return adapters;
}

namespace {

bool SameName(const std::string& a, const std::string& b) {
#ifdef _WIN32
  // Windows takes adapter names without regard to case.
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
#else
  return a == b;
#endif
}

std::string Names(const std::vector<const NetworkInterface*>& interfaces) {
  if (interfaces.empty()) return "none";
  std::string names;
  for (const NetworkInterface* entry : interfaces) {
    if (!names.empty()) names += ", ";
    names += entry->name;
  }
  return names;
}

}  // namespace

NetworkInterface ChooseInterface(const std::vector<NetworkInterface>& interfaces,
                                 const std::string& name) {
  const NetworkInterface* chosen = nullptr;
  std::vector<const NetworkInterface*> all, usable;
  for (const NetworkInterface& entry : interfaces) {
    all.push_back(&entry);
    if (entry.state == AdapterState::kUp && !entry.addresses.empty()) usable.push_back(&entry);
    if (chosen == nullptr && (SameName(entry.name, name) || SameName(entry.systemName, name))) {
      chosen = &entry;
    }
  }
  if (chosen == nullptr) {
    throw Exception(Format("No adapter is named \"%s\"; the adapters are: %s", name.c_str(),
                           Names(all).c_str()));
  }
  const char* problem = nullptr;
  if (chosen->state == AdapterState::kDown) {
    problem = "is down";
  } else if (chosen->state == AdapterState::kNoCarrier) {
    problem = "is down (no carrier)";
  } else if (chosen->addresses.empty()) {
    problem = "has no IPv4 address";
  } else {
    return *chosen;
  }
  throw Exception(Format("Adapter \"%s\" %s; adapters that are up with an IPv4 address: %s",
                         chosen->name.c_str(), problem, Names(usable).c_str()));
}

#ifdef _WIN32

namespace {

uint32_t MaskOfPrefix(unsigned length) {
  return length == 0 ? 0 : length >= 32 ? 0xFFFFFFFFu : ~((1u << (32 - length)) - 1);
}

}  // namespace

std::vector<NetworkInterface> ListInterfaces() {
  std::vector<NetworkInterface> interfaces;
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
  if (result != NO_ERROR) return interfaces;

  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
       adapter = adapter->Next) {
    NetworkInterface entry;
    entry.systemName = adapter->AdapterName;
    entry.name = adapter->FriendlyName != nullptr ? NarrowText(adapter->FriendlyName) : "";
    if (entry.name.empty()) entry.name = entry.systemName;
    entry.state = adapter->OperStatus == IfOperStatusUp               ? AdapterState::kUp
                  : adapter->OperStatus == IfOperStatusLowerLayerDown ? AdapterState::kNoCarrier
                                                                      : AdapterState::kDown;
    const DWORD type = adapter->IfType;
    entry.loopback = type == IF_TYPE_SOFTWARE_LOOPBACK;
    entry.canBroadcast = !entry.loopback && type != IF_TYPE_TUNNEL && type != IF_TYPE_PPP;
    for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
         unicast = unicast->Next) {
      const sockaddr* address = unicast->Address.lpSockaddr;
      if (address == nullptr || address->sa_family != AF_INET) continue;
      NetworkAdapter ipv4;
      // The GUID name, as before: that is what the broadcast list has always named.
      ipv4.name = entry.systemName;
      ipv4.address = ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
      ipv4.netmask = MaskOfPrefix(unicast->OnLinkPrefixLength);
      entry.addresses.push_back(std::move(ipv4));
    }
    interfaces.push_back(std::move(entry));
  }
  return interfaces;
}

#else

std::vector<NetworkInterface> ListInterfaces() {
  std::vector<NetworkInterface> interfaces;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return interfaces;
  // Every interface has an entry of its own (AF_PACKET on Linux) besides one per address: the
  // first entry of a name fixes its place.
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_name == nullptr) continue;
    const std::string name = entry->ifa_name;
    auto found =
        std::find_if(interfaces.begin(), interfaces.end(),
                     [&name](const NetworkInterface& known) { return known.name == name; });
    if (found == interfaces.end()) {
      NetworkInterface fresh;
      fresh.name = name;
      fresh.systemName = name;
      const unsigned flags = entry->ifa_flags;
      fresh.state = (flags & IFF_UP) == 0 ? AdapterState::kDown
                    : (flags & IFF_RUNNING) == 0 ? AdapterState::kNoCarrier
                                                 : AdapterState::kUp;
      fresh.canBroadcast = (flags & IFF_BROADCAST) != 0;
      fresh.loopback = (flags & IFF_LOOPBACK) != 0;
      found = interfaces.insert(interfaces.end(), std::move(fresh));
    }
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if (entry->ifa_netmask == nullptr) continue;
    NetworkAdapter address;
    address.name = name;
    address.address = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
    address.netmask =
        ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr);
    found->addresses.push_back(std::move(address));
  }
  freeifaddrs(list);
  return interfaces;
}

#endif

}  // namespace qor
