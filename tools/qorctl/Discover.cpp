#include <algorithm>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "catalog/ScriptCatalogue.h"
#include "net/TargetNetwork.h"
#include "platform/Files.h"
#include "platform/Format.h"
#include "platform/ScriptFolders.h"
#include "platform/Terminal.h"
#include "tools/cli/CsvWriter.h"
#include "tools/qorctl/Commands.h"
#include "tools/qorctl/Discovery.h"
#include "tools/qorctl/NetworkOptions.h"
#include "tools/qorctl/Validators.h"

namespace qor::cli {
namespace {

// At most this many MACs are named on the line about targets that share an address.
constexpr size_t kMacsNamed = 8;

struct DiscoverOptions {
  NetworkOptions network;
  uint32_t waitMs = 1000;
  std::string scripts;
  bool json = false;
  bool csv = false;
  bool once = false;
};

struct Row {
  std::string product, mac, ip, vendor, productId, staging;
};

void PrintTable(const std::vector<Row>& rows) {
  Row widths{"Product", "MAC Address", "IP Address", "Vendor ID", "Product ID", "Staging"};
  std::vector<Row> lines{widths};
  lines.insert(lines.end(), rows.begin(), rows.end());
  size_t w[6] = {};
  for (const Row& line : lines) {
    const std::string* cells[] = {&line.product, &line.mac,       &line.ip,
                                  &line.vendor,  &line.productId, &line.staging};
    for (size_t i = 0; i < 6; ++i) w[i] = std::max(w[i], cells[i]->size());
  }
  for (const Row& line : lines) {
    std::printf("%-*s  %-*s  %-*s  %-*s  %-*s  %s\n", static_cast<int>(w[0]), line.product.c_str(),
                static_cast<int>(w[1]), line.mac.c_str(), static_cast<int>(w[2]), line.ip.c_str(),
                static_cast<int>(w[3]), line.vendor.c_str(), static_cast<int>(w[4]),
                line.productId.c_str(), line.staging.c_str());
  }
}

int Discover(const DiscoverOptions& options) {
  ScriptCatalogue catalogue;
  if (!options.scripts.empty()) {
    catalogue.ScanDirectory(options.scripts);
  } else if (const auto folder = ExecutableDirectory()) {
    catalogue.ScanDirectories(ScriptFolders(*folder));
  }

  const std::unique_ptr<TargetNetwork> opened = OpenNetwork(options.network);
  TargetNetwork& network = *opened;
  if (!DiscoverTargets(network, options.waitMs, {}, options.once)) return 1;

  const std::vector<Target*>& targets = network.Table().InArrivalOrder();
  // A flood of announcements (invented MACs, say) is cut off at the table's bound: say so.
  if (const uint64_t dropped = network.Table().Dropped(); dropped > 0) {
    std::fprintf(stderr, "Dropped %llu more targets: QOR keeps at most %zu\n",
                 static_cast<unsigned long long>(dropped), TargetTable::kMaxTargets);
  }
  // Two targets at one address cannot both be reached there: a request may go to either.
  const auto shared = SharedAddresses(targets);
  for (const auto& [address, holders] : shared) {
    std::string macs;
    // A flood of invented MACs at one address must not make a line of thousands.
    const size_t named = std::min(holders.size(), kMacsNamed);
    for (size_t i = 0; i < named; ++i) {
      macs += (i == 0 ? "" : ", ") + holders[i]->mac.ToString();
    }
    if (named < holders.size()) macs += Format(" and %zu more", holders.size() - named);
    std::fprintf(stderr, "Several targets report %s: %s\n", IpAddressText(address).c_str(),
                 macs.c_str());
  }
  if (options.json) {
    auto list = nlohmann::ordered_json::array();
    for (const Target* target : targets) {
      list.push_back({{"mac", target->mac.ToString()},
                      {"ip", TargetAddressText(target->ipAddress)},
                      {"vendor", target->vendorId},
                      {"product", target->productId},
                      {"staging", target->stagingSize},
                      {"product_name", catalogue.ProductName(target->Key())},
                      {"duplicate_ip", shared.contains(target->ipAddress)}});
    }
    // Product names are 8-bit text from the scripts; bytes that are not UTF-8 are replaced
    // rather than failing the whole listing.
    std::printf("%s\n", list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return 0;
  }
  if (options.csv) {
    // Product names go out byte for byte, as the scripts hold them.
    std::string csv = CsvRecord({"mac", "ip", "vendor", "product", "staging", "product_name"});
    for (const Target* target : targets) {
      // No address is an empty field, which an address column takes; not "Unassigned".
      const std::string ip = target->ipAddress == 0 ? "" : IpAddressText(target->ipAddress);
      csv += CsvRecord({target->mac.ToString(), ip, std::to_string(target->vendorId),
                        std::to_string(target->productId), std::to_string(target->stagingSize),
                        catalogue.ProductName(target->Key())});
    }
    WriteBytesAsTheyAre(stdout);
    std::fwrite(csv.data(), 1, csv.size(), stdout);
    return 0;
  }

  if (targets.empty()) {
    std::printf("No targets answered within %u ms.\n", options.waitMs);
    return 0;
  }
  std::vector<Row> rows;
  for (const Target* target : targets) {
    rows.push_back({catalogue.ProductName(target->Key()), target->mac.ToString(),
                    TargetAddressText(target->ipAddress), Format("0x%04X", target->vendorId),
                    Format("0x%04X", target->productId),
                    Format("%u", static_cast<unsigned>(target->stagingSize))});
  }
  PrintTable(rows);
  return 0;
}

}  // namespace

CommandRunner AddDiscoverCommand(CLI::App& app) {
  CLI::App* command =
      app.add_subcommand("discover", "Broadcast a discovery and list the targets that answer");
  auto options = std::make_shared<DiscoverOptions>();
  AddNetworkOptions(*command, options->network, "the discovery");
  AddWaitOption(*command, options->waitMs, "answers");
  command
      ->add_option("--scripts", options->scripts,
                   "Name products from the .QOR scripts in DIR (default: the folders qor reads, "
                   "see qorctl(1))")
      ->type_name("DIR")
      ->check(CLI::ExistingDirectory.description(""));
  command->add_flag("--once", options->once, "Broadcast once, not again after 250 and 500 ms");
  auto* json = command->add_flag("--json", options->json,
                                 "Print one JSON array: mac, ip, vendor, product, staging, "
                                 "product_name, duplicate_ip");
  command
      ->add_flag("--csv", options->csv,
                 "Print an inventory as CSV for a spreadsheet or asset database: a header line "
                 "mac,ip,vendor,product,staging,product_name, then one line per target (not "
                 "with --json)")
      ->excludes(json);
  command->footer(
      "Targets are listed in the order they first answered. Targets that report the same "
      "address are named on a warning line, and marked \"duplicate_ip\": true with --json.\n"
      "With --range the range is swept first, at most --rate addresses a second, while answers "
      "come in; the wait begins after the sweep. Answers to the broadcast and to the range "
      "land on one row per target.\n"
      "With --csv a field that holds a comma, a quote or a line break is quoted (its quotes "
      "doubled), every line ends with CR LF, IDs and sizes are decimal, and ip is empty for a "
      "target without an address.\n"
      "Exit status: 0 listed (even if none answered), 1 the broadcast failed or no address of "
      "--range could be sent to, or the adapter of --interface cannot be used, 2 on a usage "
      "error.");
  return [options] { return Discover(*options); };
}

}  // namespace qor::cli
