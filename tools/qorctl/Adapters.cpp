#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/Format.h"
#include "platform/NetworkAdapters.h"
#include "tools/qorctl/Commands.h"

namespace qor::cli {
namespace {

// The subnet broadcast of address, for an adapter that can broadcast; nothing otherwise.
std::optional<uint32_t> BroadcastOf(const NetworkInterface& adapter,
                                    const NetworkAdapter& address) {
  if (!adapter.canBroadcast) return std::nullopt;
  return DirectedBroadcast(address);
}

void PrintJson(const std::vector<NetworkInterface>& adapters) {
  auto list = nlohmann::ordered_json::array();
  for (const NetworkInterface& adapter : adapters) {
    auto addresses = nlohmann::ordered_json::array();
    for (const NetworkAdapter& address : adapter.addresses) {
      const auto broadcast = BroadcastOf(adapter, address);
      addresses.push_back(
          {{"address", IpAddressText(address.address)},
           {"prefix", PrefixLength(address.netmask)},
           {"netmask", IpAddressText(address.netmask)},
           {"broadcast", broadcast ? nlohmann::ordered_json(IpAddressText(*broadcast))
                                   : nlohmann::ordered_json(nullptr)}});
    }
    list.push_back({{"name", adapter.name},
                    {"state", AdapterStateText(adapter.state)},
                    {"can_broadcast", adapter.canBroadcast},
                    {"loopback", adapter.loopback},
                    {"addresses", addresses}});
  }
  std::printf("%s\n", list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

void PrintTable(const std::vector<NetworkInterface>& adapters) {
  using Row = std::array<std::string, 6>;
  std::vector<Row> rows{{"Adapter", "State", "Can broadcast", "Address", "Netmask", "Broadcast"}};
  for (const NetworkInterface& adapter : adapters) {
    const Row first{adapter.name,
                    AdapterStateText(adapter.state),
                    adapter.canBroadcast ? "yes" : "no",
                    "-",
                    "-",
                    "-"};
    if (adapter.addresses.empty()) rows.push_back(first);
    // One line per address, each naming its adapter, so that a line stands on its own.
    for (const NetworkAdapter& address : adapter.addresses) {
      Row row = first;
      row[3] =
          Format("%s/%d", IpAddressText(address.address).c_str(), PrefixLength(address.netmask));
      row[4] = IpAddressText(address.netmask);
      const auto broadcast = BroadcastOf(adapter, address);
      row[5] = broadcast ? IpAddressText(*broadcast) : "-";
      rows.push_back(row);
    }
  }
  std::array<size_t, 6> widths{};
  for (const Row& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (const Row& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    std::printf("%s\n", line.c_str());
  }
}

}  // namespace

CommandRunner AddAdaptersCommand(CLI::App& app) {
  CLI::App* command = app.add_subcommand(
      "adapters", "List the network adapters, with their IPv4 addresses, for --interface");
  auto json = std::make_shared<bool>(false);
  command->add_flag("--json", *json,
                    "Print one JSON array: name, state, can_broadcast, loopback, addresses (each "
                    "address, prefix, netmask, broadcast)");
  command->footer(
      "Lists every adapter the system has, up or down, one line per IPv4 address (an adapter "
      "without one has a line of dashes). State is up, down, or no carrier (switched on, but "
      "its link is down). Broadcast is the subnet broadcast address that discovery and "
      "address assignment send to; an adapter that cannot broadcast has none.\n"
      "The adapter of --interface NAME must be up and have an IPv4 address.\n"
      "Exit status: 0 listed, 2 on a usage error.");
  return [json] {
    const std::vector<NetworkInterface> adapters = ListInterfaces();
    if (*json) {
      PrintJson(adapters);
    } else if (adapters.empty()) {
      std::printf("The system lists no network adapters.\n");
    } else {
      PrintTable(adapters);
    }
    return 0;
  };
}

}  // namespace qor::cli
