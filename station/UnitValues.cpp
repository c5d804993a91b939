#include "station/UnitValues.h"

#include <map>
#include <vector>

#include "platform/Exception.h"
#include "platform/Format.h"
#include "station/Csv.h"
#include "station/RecordHistory.h"

namespace qor {
namespace {

bool IsMacColumn(const std::string& name) {
  return name.size() == 3 && (name[0] | 0x20) == 'm' && (name[1] | 0x20) == 'a' &&
         (name[2] | 0x20) == 'c';
}

}  // namespace

struct UnitValues::State {
  std::string path;
  bool byMac = false;
  std::vector<UnitValueList> rows;  // in order, without a mac column
  std::map<MacAddress, UnitValueList> byMacRows;
};

UnitValues::UnitValues() : state_(std::make_unique<State>()) {}
UnitValues::UnitValues(UnitValues&&) noexcept = default;
UnitValues& UnitValues::operator=(UnitValues&&) noexcept = default;
UnitValues::~UnitValues() = default;

UnitValues UnitValues::File(const std::string& path) {
  UnitValues values;
  State& s = *values.state_;
  s.path = path;
  const std::vector<CsvRow> rows = ReadCsvFile(path);
  if (rows.empty()) {
    throw Exception(Format("\"%s\" has no header naming the variables", path.c_str()));
  }
  const CsvRow& header = rows.front();
  const auto where = [&](const CsvRow& row) {
    return Format("Line %zu of \"%s\"", row.line, path.c_str());
  };
  std::optional<size_t> macColumn;
  std::map<std::string, size_t> named;
  for (size_t i = 0; i < header.fields.size(); ++i) {
    const std::string& name = header.fields[i];
    if (IsMacColumn(name) && !macColumn) {
      macColumn = i;
      continue;
    }
    if (name.empty() || name.find('=') != std::string::npos) {
      throw Exception(Format("%s: \"%s\" is no variable name (one without '=')",
                             where(header).c_str(), name.c_str()));
    }
    if (!named.emplace(name, i).second) {
      throw Exception(Format("%s names %s twice", where(header).c_str(), name.c_str()));
    }
  }
  if (named.empty()) {
    throw Exception(Format("%s names no variable", where(header).c_str()));
  }
  s.byMac = macColumn.has_value();
  std::map<UnitValueList, size_t> lineOf;
  std::map<MacAddress, size_t> macLine;
  for (size_t r = 1; r < rows.size(); ++r) {
    const CsvRow& row = rows[r];
    if (row.fields.size() != header.fields.size()) {
      throw Exception(Format("%s has %zu fields where the header has %zu", where(row).c_str(),
                             row.fields.size(), header.fields.size()));
    }
    UnitValueList list;
    for (size_t i = 0; i < row.fields.size(); ++i) {
      if (macColumn && i == *macColumn) continue;
      // An empty value would delete the variable from the target.
      if (row.fields[i].empty()) {
        throw Exception(
            Format("%s has no value for %s", where(row).c_str(), header.fields[i].c_str()));
      }
      list.emplace_back(header.fields[i], row.fields[i]);
    }
    if (macColumn) {
      const auto mac = MacAddress::Parse(row.fields[*macColumn]);
      if (!mac) {
        throw Exception(Format("%s: \"%s\" is not a MAC address such as 00:1A:2B:3C:4D:5E",
                               where(row).c_str(), row.fields[*macColumn].c_str()));
      }
      if (const auto twice = macLine.find(*mac); twice != macLine.end()) {
        throw Exception(Format("%s is for %s, as line %zu is already", where(row).c_str(),
                               mac->ToString().c_str(), twice->second));
      }
      macLine[*mac] = row.line;
      s.byMacRows[*mac] = std::move(list);
      continue;
    }
    // Rows alike could not be told apart in the record: one of them would never be given.
    if (const auto twice = lineOf.find(list); twice != lineOf.end()) {
      throw Exception(
          Format("%s holds the same values as line %zu", where(row).c_str(), twice->second));
    }
    lineOf[list] = row.line;
    s.rows.push_back(std::move(list));
  }
  return values;
}

UnitValues::Choice UnitValues::Choose(const MacAddress& mac, const RecordHistory& record) const {
  const State& s = *state_;
  Choice choice;
  if (s.byMac) {
    const auto found = s.byMacRows.find(mac);
    if (found == s.byMacRows.end()) {
      choice.problem = Format("\"%s\" has no row for %s", s.path.c_str(), mac.ToString().c_str());
    } else {
      choice.values = found->second;
    }
    return choice;
  }
  // The row given to this unit before, if it is still in the file.
  if (const auto given = record.values.find(mac); given != record.values.end()) {
    for (const UnitValueList& row : s.rows) {
      if (row == given->second && !record.ValuesGivenToOther(row, mac)) {
        choice.values = row;
        return choice;
      }
    }
  }
  for (const UnitValueList& row : s.rows) {
    if (!record.valueHolders.contains(row)) {
      choice.values = row;
      return choice;
    }
  }
  choice.problem = Format("No row of \"%s\" is left for %s: all %zu were given to other units",
                          s.path.c_str(), mac.ToString().c_str(), s.rows.size());
  return choice;
}

size_t UnitValues::Left(const RecordHistory& record) const {
  const State& s = *state_;
  size_t left = 0;
  if (s.byMac) {
    for (const auto& [mac, row] : s.byMacRows) {
      if (!record.values.contains(mac)) ++left;
    }
    return left;
  }
  for (const UnitValueList& row : s.rows) {
    if (!record.valueHolders.contains(row)) ++left;
  }
  return left;
}

const std::string& UnitValues::Path() const { return state_->path; }

}  // namespace qor
