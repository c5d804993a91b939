#include "station/AddressPool.h"

#include <map>
#include <set>

#include "net/Target.h"
#include "net/TargetTable.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "station/Csv.h"
#include "station/RecordHistory.h"

namespace qor {
namespace {

std::string Lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

}  // namespace

struct AddressPool::State {
  std::string name;
  bool isRange = false;
  uint32_t first = 0;
  uint32_t last = 0;
  std::map<MacAddress, uint32_t> map;

  [[nodiscard]] bool Holds(uint32_t address) const {
    if (isRange) return address >= first && address <= last;
    for (const auto& [mac, mapped] : map) {
      if (mapped == address) return true;
    }
    return false;
  }
  // The addresses of the pool that another target holds or the record gave another unit.
  [[nodiscard]] std::set<uint32_t> Taken(const MacAddress* mac, const TargetTable& table,
                                         const RecordHistory& record) const {
    std::set<uint32_t> taken;
    for (const Target* target : table.InArrivalOrder()) {
      if ((mac == nullptr || target->mac != *mac) && target->ipAddress != 0 &&
          (isRange ? Holds(target->ipAddress) : true)) {
        taken.insert(target->ipAddress);
      }
    }
    for (const auto& [address, holders] : record.addressHolders) {
      if (isRange && !Holds(address)) continue;
      const bool other = mac == nullptr || holders.size() > (holders.contains(*mac) ? 1u : 0u);
      if (other) taken.insert(address);
    }
    return taken;
  }
};

AddressPool::AddressPool() : state_(std::make_unique<State>()) {}
AddressPool::AddressPool(AddressPool&&) noexcept = default;
AddressPool& AddressPool::operator=(AddressPool&&) noexcept = default;
AddressPool::~AddressPool() = default;

AddressPool AddressPool::Range(const std::string& text) {
  const size_t dash = text.find('-');
  const auto first = ParseIpAddress(text.substr(0, dash));
  const auto last =
      dash == std::string::npos ? std::nullopt : ParseIpAddress(text.substr(dash + 1));
  if (!first || !last) {
    throw Exception(
        Format("\"%s\" is not a range of addresses FIRST-LAST, such as "
               "127.0.1.1-127.0.1.254",
               text.c_str()));
  }
  if (*first > *last) {
    throw Exception(Format("The range %s begins after it ends", text.c_str()));
  }
  if (*last - *first >= kMaxRange) {
    throw Exception(Format("The range %s holds more than %u addresses", text.c_str(), kMaxRange));
  }
  for (uint32_t address = *first;; ++address) {
    if (const std::string problem = AddressProblem(address); !problem.empty()) {
      throw Exception(Format("The range %s holds an address no target can hold: %s", text.c_str(),
                             problem.c_str()));
    }
    if (address == *last) break;
  }
  AddressPool pool;
  pool.state_->isRange = true;
  pool.state_->first = *first;
  pool.state_->last = *last;
  pool.state_->name = IpAddressText(*first) + "-" + IpAddressText(*last);
  return pool;
}

AddressPool AddressPool::MapFile(const std::string& path) {
  AddressPool pool;
  pool.state_->name = Format("the address map \"%s\"", path.c_str());
  std::map<uint32_t, size_t> lineOf;  // of each address
  const std::vector<CsvRow> rows = ReadCsvFile(path);
  for (size_t i = 0; i < rows.size(); ++i) {
    const CsvRow& row = rows[i];
    const auto where = [&] { return Format("Line %zu of \"%s\"", row.line, path.c_str()); };
    if (i == 0 && row.fields.size() == 2 && Lowered(row.fields[0]) == "mac" &&
        Lowered(row.fields[1]) == "ip") {
      continue;
    }
    if (row.fields.size() != 2) {
      throw Exception(Format("%s is not a line mac,ip", where().c_str()));
    }
    const auto mac = MacAddress::Parse(row.fields[0]);
    if (!mac) {
      throw Exception(Format("%s: \"%s\" is not a MAC address such as 00:1A:2B:3C:4D:5E",
                             where().c_str(), row.fields[0].c_str()));
    }
    const auto address = ParseIpAddress(row.fields[1]);
    if (!address) {
      throw Exception(Format("%s: \"%s\" is not an IPv4 address such as 127.0.1.1", where().c_str(),
                             row.fields[1].c_str()));
    }
    if (const std::string problem = AddressProblem(*address); !problem.empty()) {
      throw Exception(Format("%s: %s", where().c_str(), problem.c_str()));
    }
    if (pool.state_->map.contains(*mac)) {
      throw Exception(
          Format("%s names %s a second time", where().c_str(), mac->ToString().c_str()));
    }
    if (const auto twice = lineOf.find(*address); twice != lineOf.end()) {
      throw Exception(Format("%s gives %s, which line %zu gives already", where().c_str(),
                             IpAddressText(*address).c_str(), twice->second));
    }
    pool.state_->map[*mac] = *address;
    lineOf[*address] = row.line;
  }
  return pool;
}

AddressPool::Choice AddressPool::Choose(const MacAddress& mac, const TargetTable& table,
                                        const RecordHistory& record) const {
  const State& s = *state_;
  const std::set<uint32_t> taken = s.Taken(&mac, table, record);
  Choice choice;
  if (!s.isRange) {
    const auto mapped = s.map.find(mac);
    if (mapped == s.map.end()) return choice;
    const uint32_t address = mapped->second;
    if (!taken.contains(address)) {
      choice.address = address;
      return choice;
    }
    std::string holder;
    for (const Target* target : table.InArrivalOrder()) {
      if (target->mac != mac && target->ipAddress == address) holder = target->mac.ToString();
    }
    choice.problem =
        holder.empty()
            ? Format("The address map gives %s %s, which the record gave to another unit",
                     mac.ToString().c_str(), IpAddressText(address).c_str())
            : Format("The address map gives %s %s, which %s holds", mac.ToString().c_str(),
                     IpAddressText(address).c_str(), holder.c_str());
    return choice;
  }
  // The address the record gave this unit before, while it is still the unit's to have.
  if (const auto given = record.addresses.find(mac);
      given != record.addresses.end() && s.Holds(given->second) && !taken.contains(given->second)) {
    choice.address = given->second;
    return choice;
  }
  for (uint32_t address = s.first;; ++address) {
    if (!taken.contains(address)) {
      choice.address = address;
      return choice;
    }
    if (address == s.last) break;
  }
  choice.exhausted = true;
  choice.problem =
      Format("The address pool %s is exhausted: every address is held or given", s.name.c_str());
  return choice;
}

bool AddressPool::Contains(uint32_t address) const { return state_->Holds(address); }

bool AddressPool::Lists(const MacAddress& mac) const {
  return state_->isRange || state_->map.contains(mac);
}

size_t AddressPool::Left(const TargetTable& table, const RecordHistory& record) const {
  const State& s = *state_;
  size_t taken = 0;
  for (const uint32_t address : s.Taken(nullptr, table, record)) {
    if (s.Holds(address)) ++taken;
  }
  const size_t size = s.isRange ? size_t{s.last - s.first} + 1 : s.map.size();
  return size - taken;
}

const std::string& AddressPool::Name() const { return state_->name; }

}  // namespace qor
