#pragma once

#include <nlohmann/json.hpp>

#include "tools/qorctl/ReportFigures.h"

namespace qor::cli {

// The report's figures as one JSON object: times in UTC as the record writes them, hours with
// their offset, rates as fractions, what is unknown as null.
[[nodiscard]] nlohmann::ordered_json ReportJson(const RecordSummary& summary,
                                                const ReportHeading& heading);

}  // namespace qor::cli
