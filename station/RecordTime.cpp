#include "station/RecordTime.h"

#include <chrono>
#include <cstdio>

namespace qor {
namespace {

constexpr int64_t kDayMs = 86'400'000;

// Reads exactly count digits at text[at]; nothing when any is not a digit.
std::optional<unsigned> Digits(const std::string& text, size_t at, size_t count) {
  if (at + count > text.size()) return std::nullopt;
  unsigned value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return value;
}

bool CharAt(const std::string& text, size_t at, char expected) {
  return at < text.size() && text[at] == expected;
}

}  // namespace

std::optional<int64_t> ParseRecordTime(const std::string& text) {
  // YYYY-MM-DDTHH:MM:SS[.fff...](Z|+HH:MM|-HH:MM)
  const auto year = Digits(text, 0, 4);
  const auto month = Digits(text, 5, 2);
  const auto day = Digits(text, 8, 2);
  const auto hour = Digits(text, 11, 2);
  const auto minute = Digits(text, 14, 2);
  const auto second = Digits(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second || !CharAt(text, 4, '-') ||
      !CharAt(text, 7, '-') || !(CharAt(text, 10, 'T') || CharAt(text, 10, 't')) ||
      !CharAt(text, 13, ':') || !CharAt(text, 16, ':')) {
    return std::nullopt;
  }
  const std::chrono::year_month_day date{std::chrono::year(static_cast<int>(*year)),
                                         std::chrono::month(*month), std::chrono::day(*day)};
  // A leap second (:60) is taken as the next second's start.
  if (!date.ok() || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
  size_t at = 19;
  unsigned millisecond = 0;
  if (CharAt(text, at, '.')) {
    ++at;
    const size_t first = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      // Only the first three digits count; more are finer than a record needs.
      if (at - first < 3) millisecond = millisecond * 10 + static_cast<unsigned>(text[at] - '0');
      ++at;
    }
    if (at == first) return std::nullopt;
    for (size_t scale = at - first; scale < 3; ++scale) millisecond *= 10;
  }
  int64_t offsetMinutes = 0;
  if (CharAt(text, at, 'Z') || CharAt(text, at, 'z')) {
    ++at;
  } else if (CharAt(text, at, '+') || CharAt(text, at, '-')) {
    const auto offsetHour = Digits(text, at + 1, 2);
    const auto offsetMinute = Digits(text, at + 4, 2);
    if (!offsetHour || !offsetMinute || !CharAt(text, at + 3, ':') || *offsetHour > 23 ||
        *offsetMinute > 59) {
      return std::nullopt;
    }
    offsetMinutes =
        (text[at] == '+' ? 1 : -1) * static_cast<int64_t>(*offsetHour * 60 + *offsetMinute);
    at += 6;
  } else {
    return std::nullopt;  // a time without a zone could be any time
  }
  if (at != text.size()) return std::nullopt;
  const int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
  return days * kDayMs + *hour * 3'600'000LL + *minute * 60'000LL + *second * 1000LL + millisecond -
         offsetMinutes * 60'000;
}

CivilTime ToCivilTime(int64_t milliseconds) {
  int64_t days = milliseconds / kDayMs;
  int64_t rest = milliseconds % kDayMs;
  if (rest < 0) {
    rest += kDayMs;
    --days;
  }
  const std::chrono::year_month_day date{std::chrono::sys_days(std::chrono::days(days))};
  CivilTime time;
  time.year = static_cast<int>(date.year());
  time.month = static_cast<unsigned>(date.month());
  time.day = static_cast<unsigned>(date.day());
  time.hour = static_cast<unsigned>(rest / 3'600'000);
  time.minute = static_cast<unsigned>(rest / 60'000 % 60);
  time.second = static_cast<unsigned>(rest / 1000 % 60);
  time.millisecond = static_cast<unsigned>(rest % 1000);
  return time;
}

int64_t FromCivilTime(const CivilTime& time) {
  const std::chrono::year_month_day date{
      std::chrono::year(time.year), std::chrono::month(time.month), std::chrono::day(time.day)};
  const int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
  return days * kDayMs + time.hour * 3'600'000LL + time.minute * 60'000LL + time.second * 1000LL +
         time.millisecond;
}

std::string UtcTimeText(int64_t milliseconds) {
  const CivilTime time = ToCivilTime(milliseconds);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02u:%02u:%02u.%03uZ", time.year, time.month,
                time.day, time.hour, time.minute, time.second, time.millisecond);
  return text;
}

}  // namespace qor
