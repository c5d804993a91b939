#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qor::cli {

// Comma-separated values as spreadsheets and asset databases import them: a field with a
// comma, a double quote, CR or LF is quoted, its quotes doubled; every record ends with CR LF.
// The bytes of a field are kept as they are.

// One field, quoted when it has to be.
[[nodiscard]] std::string CsvField(std::string_view field);

// One record: the fields joined by commas, then CR LF.
[[nodiscard]] std::string CsvRecord(const std::vector<std::string>& fields);

}  // namespace qor::cli
