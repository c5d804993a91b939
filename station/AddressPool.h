#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "net/MacAddress.h"

namespace qor {

class TargetTable;
struct RecordHistory;

// The addresses a station gives its units: a range, or a map of one address per MAC. An
// address is free for a unit when no target that answered holds it (but the unit itself) and
// the record gave it to no other unit; a unit the record already gave one gets it again.
class AddressPool {
 public:
  // The most addresses a range may hold.
  static constexpr uint32_t kMaxRange = 65536;

  // "FIRST-LAST", both ends included, such as "127.0.1.1-127.0.1.254". Throws Exception when it
  // is no such range, holds more than kMaxRange addresses, or holds one no target can hold.
  [[nodiscard]] static AddressPool Range(const std::string& text);
  // A CSV file of mac,ip lines; the first line may be the header "mac,ip". Throws Exception
  // naming the file and line of what is wrong, such as a MAC or an address given twice.
  [[nodiscard]] static AddressPool MapFile(const std::string& path);

  AddressPool(AddressPool&&) noexcept;
  AddressPool& operator=(AddressPool&&) noexcept;
  ~AddressPool();

  struct Choice {
    std::optional<uint32_t> address;
    // Why there is none: the pool is exhausted, or the map's address for the unit is taken.
    std::string problem;
    bool exhausted = false;
  };
  // An address for the unit mac. The map's address for a MAC it does not list is no address
  // with no problem either: such a unit is the caller's to skip (Lists).
  [[nodiscard]] Choice Choose(const MacAddress& mac, const TargetTable& table,
                              const RecordHistory& record) const;
  // Whether address is one of the pool's.
  [[nodiscard]] bool Contains(uint32_t address) const;
  // Whether a map lists mac; a range takes any MAC.
  [[nodiscard]] bool Lists(const MacAddress& mac) const;
  // The addresses not yet held or given.
  [[nodiscard]] size_t Left(const TargetTable& table, const RecordHistory& record) const;
  // "127.0.1.1-127.0.1.254", or "the address map \"map.csv\"".
  [[nodiscard]] const std::string& Name() const;

 private:
  AddressPool();
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
