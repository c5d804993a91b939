// Choosing the adapter --interface names, from a list the test makes: no system adapter is read.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/Exception.h"
#include "platform/NetworkAdapters.h"

namespace qor {
namespace {

NetworkInterface Adapter(const std::string& name, AdapterState state, bool withAddress,
                         const std::string& systemName = "") {
  NetworkInterface adapter;
  adapter.name = name;
  adapter.systemName = systemName.empty() ? name : systemName;
  adapter.state = state;
  adapter.canBroadcast = true;
  if (withAddress) adapter.addresses.push_back({name, 0x0A470101, 0xFFFFFF00});
  return adapter;
}

TEST(ChooseInterfaceTest, OnlyAnAdapterThatIsUpWithAnAddressIsTakenAndTheErrorsNameTheOthers) {
  const std::vector<NetworkInterface> adapters = {
      Adapter("lo", AdapterState::kUp, true),
      Adapter("Ethernet", AdapterState::kUp, true, "{4D36E972-E325-11CE-BFC1-08002BE10318}"),
      Adapter("eth1", AdapterState::kDown, true),
      Adapter("eth2", AdapterState::kNoCarrier, true),
      Adapter("eth3", AdapterState::kUp, false),
  };
  const std::string usable = "; adapters that are up with an IPv4 address: lo, Ethernet";
  struct Row {
    std::string name;
    std::string chosen;  // empty: refused with message
    std::string message;
  };
  const std::vector<Row> rows = {
      {"Ethernet", "Ethernet", ""},
      {"{4D36E972-E325-11CE-BFC1-08002BE10318}", "Ethernet", ""},  // the system's own name
      {"lo", "lo", ""},
      {"eth9", "",
       "No adapter is named \"eth9\"; the adapters are: lo, Ethernet, eth1, eth2, eth3"},
      {"", "", "No adapter is named \"\"; the adapters are: lo, Ethernet, eth1, eth2, eth3"},
      {"eth1", "", "Adapter \"eth1\" is down" + usable},
      {"eth2", "", "Adapter \"eth2\" is down (no carrier)" + usable},
      {"eth3", "", "Adapter \"eth3\" has no IPv4 address" + usable},
#ifdef _WIN32
      // Windows takes its adapter names without regard to case.
      {"ETHERNET", "Ethernet", ""},
#else
      {"ETHERNET", "",
       "No adapter is named \"ETHERNET\"; the adapters are: lo, Ethernet, eth1, eth2, eth3"},
#endif
  };
  for (const Row& row : rows) {
    try {
      const NetworkInterface chosen = ChooseInterface(adapters, row.name);
      EXPECT_EQ(chosen.name, row.chosen) << row.name;
      EXPECT_EQ(chosen.addresses.size(), 1u) << row.name;
    } catch (const Exception& error) {
      EXPECT_TRUE(row.chosen.empty()) << row.name << ": " << error.Message();
      EXPECT_EQ(error.Message(), row.message) << row.name;
    }
  }
  try {
    (void)ChooseInterface({Adapter("eth1", AdapterState::kDown, true)}, "eth1");
    ADD_FAILURE() << "no exception";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(),
              "Adapter \"eth1\" is down; adapters that are up with an IPv4 "
              "address: none");
  }
}

TEST(ChooseInterfaceTest, APrefixIsTheNetmasksLeadingOnes) {
  const std::vector<std::pair<uint32_t, int>> rows = {{0, 0},           {0x80000000, 1},
                                                      {0xFF000000, 8},  {0xFFFFFF00, 24},
                                                      {0xFFFFFFFE, 31}, {0xFFFFFFFF, 32}};
  for (const auto& [netmask, prefix] : rows) EXPECT_EQ(PrefixLength(netmask), prefix) << netmask;
}

}  // namespace
}  // namespace qor
