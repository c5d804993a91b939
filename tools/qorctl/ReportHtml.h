#pragma once

#include <string>

#include "tools/qorctl/ReportFigures.h"

namespace qor::cli {

// The report as one self-contained HTML page: inline CSS, the chart as inline SVG, no script and
// nothing to fetch; it prints on A4. Every text from the record is escaped.
[[nodiscard]] std::string ReportHtml(const RecordSummary& summary, const ReportHeading& heading);

// text with &, <, >, " and ' written as references, control characters made harmless.
[[nodiscard]] std::string HtmlText(const std::string& text);

}  // namespace qor::cli
