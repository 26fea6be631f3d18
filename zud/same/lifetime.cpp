// lifetime.cpp -- issue and expiry instants of a SAME header.
#include "same/lifetime.h"

namespace {

constexpr long long secondsPerDay = 86400;
// A header heard this long before its issue day (in this year) was issued
// in the year before: a clock that is a little behind, or an issue time a
// minute ahead, is far closer than this.
constexpr long long mostDaysAhead = 180;

// The UTC year of an instant.
long long yearOf(std::time_t instant) {
  std::tm utc{};
  gmtime_r(&instant, &utc);
  return utc.tm_year + 1900LL;
}

std::time_t instantOf(long long year, int day, int hour, int minute) {
  return static_cast<std::time_t>((daysFromCivil(year, 1, 1) + day - 1) * secondsPerDay +
                                  hour * 3600LL + minute * 60LL);
}

}  // namespace

std::optional<std::time_t> issueinstant(int day, int hour, int minute, std::time_t received) {
  const long long year = yearOf(received);
  if (day >= 1 && day <= yearLength(year)) {
    const std::time_t instant = instantOf(year, day, hour, minute);
    if (instant - received <= mostDaysAhead * secondsPerDay) return instant;
  }
  if (day >= 1 && day <= yearLength(year - 1)) return instantOf(year - 1, day, hour, minute);
  return std::nullopt;
}

int purgeminutes(int hhmm) { return hhmm / 100 * 60 + hhmm % 100; }

std::time_t expiry(std::time_t issued, int purge) {
  const long long step = purge <= 60 ? 15 * 60 : 30 * 60;
  const long long end = static_cast<long long>(issued) + purge * 60LL;
  // Floor division, so that instants before 1970 round the same way.
  long long below = end / step * step;
  if (below > end) below -= step;
  const long long nearest = end - below >= step - (end - below) ? below + step : below;
  // A short purge just after a mark would round back to before the issue:
  // an alert is in force for a while, so the mark after it is taken then.
  return static_cast<std::time_t>(nearest > issued ? nearest : below + step);
}
