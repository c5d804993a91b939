#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "net/MacAddress.h"
#include "station/UnitRecord.h"

namespace qor {

struct RecordHistory;

// Each unit's own environment values (a serial number, a host name), from a CSV file whose
// header names the variables. With a "mac" column each row is for the unit of that MAC;
// without one the rows go to units in the order they come, each to one unit only: which rows
// were given comes from the record, so that labels printed in advance stay right across
// restarts.
class UnitValues {
 public:
  // Throws Exception naming the file and line of what is wrong: a variable named twice or
  // named with '=', a row of another width than the header, an empty value, a MAC given
  // twice, or (without a mac column) two rows alike.
  [[nodiscard]] static UnitValues File(const std::string& path);

  UnitValues(UnitValues&&) noexcept;
  UnitValues& operator=(UnitValues&&) noexcept;
  ~UnitValues();

  struct Choice {
    std::optional<UnitValueList> values;
    std::string problem;  // why there are none
  };
  // The values for the unit mac: the row of its MAC; else the row the record gave it before,
  // else the first row the record gave no unit.
  [[nodiscard]] Choice Choose(const MacAddress& mac, const RecordHistory& record) const;
  // Rows given to no unit yet.
  [[nodiscard]] size_t Left(const RecordHistory& record) const;
  [[nodiscard]] const std::string& Path() const;

 private:
  UnitValues();
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
