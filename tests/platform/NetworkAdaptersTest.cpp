// Real interfaces: runs inside its own network namespace (scripts/netns-run), where the virtual
// interfaces it makes reach nothing and vanish with the namespace.
#include <gtest/gtest.h>
#include <net/if.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/NetworkAdapters.h"

namespace qor {
namespace {

// Names of every interface of this namespace.
std::vector<std::string> InterfaceNames() {
  std::vector<std::string> names;
  struct if_nameindex* list = if_nameindex();
  for (const struct if_nameindex* entry = list; entry != nullptr && entry->if_index != 0; ++entry) {
    names.emplace_back(entry->if_name);
  }
  if_freenameindex(list);
  return names;
}

int Ip(const std::string& arguments) { return std::system(("ip " + arguments).c_str()); }

TEST(NetworkAdaptersTest, ListsEveryInterfaceAndThoseThatAreUpAndCanBroadcast) {
  if (InterfaceNames() != std::vector<std::string>{"lo"}) {
    GTEST_SKIP() << "not in a private network namespace of loopback alone: no interface is made";
  }
  // Loopback cannot broadcast.
  EXPECT_TRUE(ListBroadcastAdapters().empty());

  ASSERT_EQ(Ip("link add qa0 type veth peer name qb0"), 0);
  ASSERT_EQ(Ip("addr add 10.71.9.1/24 dev qa0"), 0);
  ASSERT_EQ(Ip("addr add 10.72.0.1/16 dev qa0"), 0);
  ASSERT_EQ(Ip("link set qa0 up"), 0);
  ASSERT_EQ(Ip("link set qb0 up"), 0);  // up, but without an IPv4 address
  // An interface with an address that is down.
  ASSERT_EQ(Ip("link add qc0 type veth peer name qd0"), 0);
  ASSERT_EQ(Ip("addr add 10.71.11.1/24 dev qc0"), 0);

  const std::vector<NetworkAdapter> adapters = ListBroadcastAdapters();
  ASSERT_EQ(adapters.size(), 2u);
  EXPECT_EQ(adapters[0].name, "qa0");
  EXPECT_EQ(adapters[0].address, 0x0A470901u);
  EXPECT_EQ(adapters[0].netmask, 0xFFFFFF00u);
  EXPECT_EQ(DirectedBroadcast(adapters[0]), 0x0A4709FFu);
  EXPECT_EQ(adapters[1].name, "qa0");
  EXPECT_EQ(adapters[1].address, 0x0A480001u);
  EXPECT_EQ(DirectedBroadcast(adapters[1]), 0x0A48FFFFu);

  // Every interface, whatever its state, each with its own addresses.
  const auto find = [](const std::vector<NetworkInterface>& all, const std::string& name) {
    for (const NetworkInterface& entry : all) {
      if (entry.name == name) return entry;
    }
    ADD_FAILURE() << name << " is not listed";
    return NetworkInterface{};
  };
  std::vector<NetworkInterface> all = ListInterfaces();
  EXPECT_EQ(all.size(), 5u);
  const NetworkInterface lo = find(all, "lo");
  EXPECT_TRUE(lo.loopback);
  EXPECT_FALSE(lo.canBroadcast);
  EXPECT_EQ(lo.state, AdapterState::kUp);
  ASSERT_EQ(lo.addresses.size(), 1u);
  EXPECT_EQ(lo.addresses[0].address, 0x7F000001u);
  EXPECT_EQ(lo.addresses[0].netmask, 0xFF000000u);
  const NetworkInterface qa0 = find(all, "qa0");
  EXPECT_EQ(qa0.state, AdapterState::kUp);
  EXPECT_TRUE(qa0.canBroadcast);
  EXPECT_FALSE(qa0.loopback);
  EXPECT_EQ(qa0.addresses.size(), 2u);
  EXPECT_EQ(find(all, "qb0").state, AdapterState::kUp);
  EXPECT_TRUE(find(all, "qb0").addresses.empty());
  EXPECT_EQ(find(all, "qc0").state, AdapterState::kDown);
  EXPECT_EQ(find(all, "qc0").addresses.size(), 1u);
  EXPECT_EQ(find(all, "qd0").state, AdapterState::kDown);

  // Switched on, but its peer is down: no carrier, and still a place to broadcast.
  ASSERT_EQ(Ip("link set qc0 up"), 0);
  EXPECT_EQ(find(ListInterfaces(), "qc0").state, AdapterState::kNoCarrier);
  EXPECT_EQ(ListBroadcastAdapters().size(), 3u);
}

}  // namespace
}  // namespace qor
