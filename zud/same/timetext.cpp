// timetext.cpp -- instants as text.
#include "same/timetext.h"

#include <cstdio>
#include <string>

#include "same/lifetime.h"

std::string isotime(std::time_t instant) {
  std::tm utc{};
  if (gmtime_r(&instant, &utc) == nullptr) return std::string();
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string localtext(std::time_t instant, const char *format) {
  tzset();
  std::tm local{};
  if (localtime_r(&instant, &local) == nullptr) return std::string();
  char text[64];
  std::strftime(text, sizeof text, format, &local);
  return text;
}

std::optional<std::time_t> parsetime(std::string_view text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
  const std::string whole(text);
  if (std::sscanf(whole.c_str(), "%4d-%2d-%2d%n", &year, &month, &day, &used) != 3 ||
      used != 10) {
    return std::nullopt;
  }
  bool utc = false;
  if (whole.size() > 10) {
    int more = 0;
    if (whole[10] != 'T' && whole[10] != ' ') return std::nullopt;
    const char *rest = whole.c_str() + 11;
    if (std::sscanf(rest, "%2d:%2d%n", &hour, &minute, &more) != 2 || more != 5) {
      return std::nullopt;
    }
    rest += more;
    if (*rest == ':') {
      if (std::sscanf(rest, ":%2d%n", &second, &more) != 1 || more != 3) return std::nullopt;
      rest += more;
    }
    if (*rest == 'Z') {
      utc = true;
      ++rest;
    }
    if (*rest != '\0') return std::nullopt;
  }
  // A day the calendar has (no 30 February), and a time of the clock.
  static constexpr int monthdays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 ||
      day > monthdays[month - 1] + (month == 2 && yearLength(year) == 366) || hour > 23 ||
      minute > 59 || second > 59) {
    return std::nullopt;
  }
  if (utc) {
    return static_cast<std::time_t>(daysFromCivil(year, month, day) * 86400LL + hour * 3600LL +
                                    minute * 60LL + second);
  }
  tzset();
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  const std::time_t instant = std::mktime(&local);
  if (instant == static_cast<std::time_t>(-1)) return std::nullopt;
  // mktime moves a local time that does not exist (the hour skipped when
  // the clocks go forward) to one that does; such a time is refused.
  if (local.tm_mday != day || local.tm_hour != hour || local.tm_min != minute) {
    return std::nullopt;
  }
  return instant;
}
