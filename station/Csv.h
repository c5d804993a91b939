#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qor {

// One line of a CSV file as read: its fields, and the number of the line it began on.
struct CsvRow {
  size_t line = 0;
  std::vector<std::string> fields;
};

// Comma-separated text as spreadsheets write it: a field in double quotes may hold commas, line
// ends and doubled quotes; blanks around an unquoted field are dropped; lines end in CR LF or
// LF; blank lines are skipped. Throws Exception("Line %zu of \"%s\" has a quoted field that is
// not closed"), naming the file as name.
[[nodiscard]] std::vector<CsvRow> ParseCsv(const std::string& text, const std::string& name);

// Reads the file at path whole and parses it. Throws Exception("Cannot read \"%s\"") too.
[[nodiscard]] std::vector<CsvRow> ReadCsvFile(const std::string& path);

// One line for a spreadsheet: fields apart by commas, each quoted where it must be, ended by
// CR LF as the format asks.
[[nodiscard]] std::string CsvLine(const std::vector<std::string>& fields);

}  // namespace qor
