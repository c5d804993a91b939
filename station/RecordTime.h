#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qor {

// A record's time, "2026-12-09T10:15:02.123Z" (fraction optional; "+01:00" instead of "Z" is
// read too), as milliseconds since 1970-01-01 UTC. Nothing when the text is not such a time.
[[nodiscard]] std::optional<int64_t> ParseRecordTime(const std::string& text);

// The calendar fields of a count of milliseconds since 1970-01-01 (UTC, or a wall clock that was
// shifted by its offset before).
struct CivilTime {
  int year = 1970;
  unsigned month = 1;  // 1 to 12
  unsigned day = 1;    // 1 to 31
  unsigned hour = 0;
  unsigned minute = 0;
  unsigned second = 0;
  unsigned millisecond = 0;
};
[[nodiscard]] CivilTime ToCivilTime(int64_t milliseconds);

// The other way round: milliseconds since 1970-01-01 of a calendar time.
[[nodiscard]] int64_t FromCivilTime(const CivilTime& time);

// "2026-12-09T10:15:02.123Z", as records write times.
[[nodiscard]] std::string UtcTimeText(int64_t milliseconds);

}  // namespace qor
