#pragma once

#include <string>

#include "tools/qorctl/ReportFigures.h"

namespace qor::cli {

// The report as plain text for a terminal or a log, within 80 columns but for long error texts
// and paths, which are never cut.
[[nodiscard]] std::string ReportText(const RecordSummary& summary, const ReportHeading& heading);

}  // namespace qor::cli
