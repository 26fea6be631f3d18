// lifetime.h -- when a SAME header was issued and when it stops being in force.
//
// A header gives its issue time as day of the year, hour and minute (UTC)
// without a year, and its purge time as hours and minutes.  These pure
// functions turn both into instants; the decoder uses them, and nothing here
// reads the clock.
#ifndef ZUD_LIFETIME_H
#define ZUD_LIFETIME_H

#include <ctime>
#include <optional>

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12).
constexpr long long daysFromCivil(long long year, int month, int day) {
  year -= month <= 2;
  const long long era = (year >= 0 ? year : year - 399) / 400;
  const long long yearOfEra = year - era * 400;
  const long long dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// Days in `year` (365 or 366).
constexpr int yearLength(long long year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0 ? 366 : 365;
}

// The UTC instant of day `day` (1-366), `hour` and `minute` of the year the
// header was most likely issued in, heard at `received`: the year of
// `received`, unless the day does not exist in it or would lie more than 180
// days after `received` (a header from late December heard in January); then
// the year before.  Nothing when the day exists in neither.
std::optional<std::time_t> issueinstant(int day, int hour, int minute, std::time_t received);

// The purge time HHMM (as the four digits read, 0130 = 130) in minutes.
int purgeminutes(int hhmm);

// When an alert issued at `issued` with `purge` minutes stops being in force:
// issue + purge rounded to the nearest quarter hour of the clock when the
// purge time is at most an hour, to the nearest half hour above; a time
// exactly between two marks goes to the later one, and a mark at or before
// the issue to the next one (an alert is always in force for a while).
std::time_t expiry(std::time_t issued, int purge);

#endif  // ZUD_LIFETIME_H
