#include "tools/qorctl/ReportFigures.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "station/RecordSummary.h"
#include "station/RecordTime.h"

namespace qor::cli {

std::string ClockMinuteText(int64_t wallMs) {
  const CivilTime time = ToCivilTime(wallMs);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02u:%02u", time.year, time.month, time.day,
                time.hour, time.minute);
  return text;
}

std::string WallMinuteText(const RecordSummary& summary, int64_t utcMs) {
  return ClockMinuteText(summary.WallTime(utcMs));
}

std::string WallSecondText(const RecordSummary& summary, int64_t utcMs) {
  const CivilTime time = ToCivilTime(summary.WallTime(utcMs));
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02u:%02u:%02u", time.year, time.month, time.day,
                time.hour, time.minute, time.second);
  return text;
}

std::string PercentText(double fraction) {
  char text[32];
  // 99.96 % would round to "100.0 %", which a unit that failed makes untrue.
  const double tenths = std::floor(fraction * 1000.0 + 0.5);
  if (fraction < 1.0 && tenths >= 1000.0) return "99.9 %";
  if (fraction > 0.0 && tenths <= 0.0) return "0.1 %";
  if (tenths >= 1000.0) return "100 %";
  std::snprintf(text, sizeof text, "%.1f %%", tenths / 10.0);
  return text;
}

std::string SecondsText(double seconds) {
  char text[40];
  if (seconds < 59.95) {
    std::snprintf(text, sizeof text, "%.1f s", seconds);
  } else if (seconds < 3600) {
    const auto whole = static_cast<long>(std::lround(seconds));
    std::snprintf(text, sizeof text, "%ld min %02ld s", whole / 60, whole % 60);
  } else {
    const auto minutes = static_cast<long>(std::lround(seconds / 60));
    std::snprintf(text, sizeof text, "%ld h %02ld min", minutes / 60, minutes % 60);
  }
  return text;
}

std::string SpanText(int64_t milliseconds) {
  const int64_t seconds = milliseconds / 1000;
  char text[48];
  if (seconds < 60) {
    std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(seconds));
  } else if (seconds < 3600) {
    std::snprintf(text, sizeof text, "%lld min", static_cast<long long>(seconds / 60));
  } else {
    std::snprintf(text, sizeof text, "%lld h %02lld min", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60));
  }
  return text;
}

std::string OffsetText(int64_t offsetMs) {
  if (offsetMs == 0) return "UTC";
  const int64_t minutes = std::llabs(offsetMs) / 60'000;
  char text[32];
  std::snprintf(text, sizeof text, "UTC%c%02lld:%02lld", offsetMs < 0 ? '-' : '+',
                static_cast<long long>(minutes / 60), static_cast<long long>(minutes % 60));
  return text;
}

std::string BytesText(uint64_t bytes) {
  if (bytes < 1000) return CountText(static_cast<size_t>(bytes), "byte", "bytes");
  const char* const units[] = {"kB", "MB", "GB", "TB", "PB"};
  double value = static_cast<double>(bytes) / 1000.0;
  size_t unit = 0;
  while (value >= 999.95 && unit + 1 < std::size(units)) {
    value /= 1000.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, value < 10 ? "%.1f %s" : "%.0f %s", value, units[unit]);
  return text;
}

std::string CountText(size_t count, const char* one, const char* many) {
  return std::to_string(count) + ' ' + (count == 1 ? one : many);
}

std::string ShownText(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    // U+0080 to U+009F (C2 80 to C2 9F) are control characters too; 9B starts a terminal's
    // command like ESC [ does.
    const bool c1 = byte == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (byte < 0x20 || byte == 0x7F || c1) {
      shown += "\xEF\xBF\xBD";
      if (c1) ++i;
    } else {
      shown += text[i];
    }
  }
  return shown;
}

}  // namespace qor::cli
