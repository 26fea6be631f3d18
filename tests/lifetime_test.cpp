// When a header was issued and until when it is in force, at fixed instants:
// the rounding of the purge time, and the year a day of the year belongs to.
#include "same/lifetime.h"

#include <gtest/gtest.h>

#include <variant>

#include "same/decoder.h"

namespace {

// The UTC instant of a civil date and time.
std::time_t utc(int year, int month, int day, int hour, int minute) {
  return static_cast<std::time_t>(daysFromCivil(year, month, day) * 86400LL + hour * 3600LL +
                                  minute * 60LL);
}

TEST(Expiry, RoundsToTheQuarterHourUpToAnHourAndToTheHalfHourAbove) {
  // 02:55Z + 0015 = 03:10 -> 03:15; 02:46Z + 0015 = 03:01 -> 03:00.
  EXPECT_EQ(expiry(utc(2026, 3, 1, 2, 55), 15), utc(2026, 3, 1, 3, 15));
  EXPECT_EQ(expiry(utc(2026, 3, 1, 2, 46), 15), utc(2026, 3, 1, 3, 0));
  // A full hour still rounds by quarters: 10:08 + 60 = 11:08 -> 11:15.
  EXPECT_EQ(expiry(utc(2026, 3, 1, 10, 8), purgeminutes(100)), utc(2026, 3, 1, 11, 15));
  // Above an hour by halves: 10:08 + 1:30 = 11:38 -> 11:30; 10:20 + 1:30 = 11:50 -> 12:00.
  EXPECT_EQ(expiry(utc(2026, 3, 1, 10, 8), purgeminutes(130)), utc(2026, 3, 1, 11, 30));
  EXPECT_EQ(expiry(utc(2026, 3, 1, 10, 20), purgeminutes(130)), utc(2026, 3, 1, 12, 0));
  // Exactly between two marks: the later one (the alert stays in force longer).
  EXPECT_EQ(expiry(utc(2026, 3, 1, 2, 45), purgeminutes(130)), utc(2026, 3, 1, 4, 30));
  // Across midnight into the next day.
  EXPECT_EQ(expiry(utc(2026, 12, 31, 23, 50), 30), utc(2027, 1, 1, 0, 15));
  // Never at or before the issue: 10:01 + 0005 = 10:06 is nearest 10:00, but
  // the alert lasts until the next mark.
  EXPECT_EQ(expiry(utc(2026, 3, 1, 10, 1), 5), utc(2026, 3, 1, 10, 15));
  EXPECT_EQ(expiry(utc(2026, 3, 1, 10, 0), 0), utc(2026, 3, 1, 10, 15));
}

TEST(IssueYear, IsTheYearHeardInUnlessTheDayLiesFarAheadOrDoesNotExist) {
  const std::time_t midsummer = utc(2026, 7, 1, 12, 0);
  EXPECT_EQ(issueinstant(182, 11, 58, midsummer), utc(2026, 7, 1, 11, 58));
  // A little ahead (a slow clock) stays in this year.
  EXPECT_EQ(issueinstant(183, 0, 5, midsummer), utc(2026, 7, 2, 0, 5));

  // Issued late on 31 December, heard after midnight UTC: last year's day 365.
  const std::time_t newYear = utc(2027, 1, 1, 0, 3);
  EXPECT_EQ(issueinstant(365, 23, 58, newYear), utc(2026, 12, 31, 23, 58));
  // Day 366 heard on 1 January after a leap year: the leap year's last day.
  EXPECT_EQ(issueinstant(366, 23, 59, utc(2025, 1, 1, 0, 1)), utc(2024, 12, 31, 23, 59));
  // Day 366 of a year that has none, after a year that has none either.
  EXPECT_EQ(issueinstant(366, 12, 0, utc(2027, 1, 1, 0, 1)), std::nullopt);
  // Day 366 inside a leap year is that year's.
  EXPECT_EQ(issueinstant(366, 12, 0, utc(2028, 12, 31, 12, 30)), utc(2028, 12, 31, 12, 0));
  EXPECT_EQ(issueinstant(0, 12, 0, midsummer), std::nullopt);
}

TEST(IssueYear, DecodedAlertCarriesTheInferredYearInItsDateAndInstants) {
  setenv("TZ", "UTC", 1);
  const std::string line =
      std::string(16, '\xab') + "ZCZC-WXR-TOR-016001-016027+0045-3652358-KBOI/NWS-";
  const decoding decoded = decodesame(line, CountyNames::singleWord, utc(2027, 1, 1, 0, 2));
  const alert *values = std::get_if<alert>(&decoded);
  ASSERT_NE(values, nullptr);
  EXPECT_EQ(values->date, "20261231");
  EXPECT_EQ(values->time, "235800");
  EXPECT_EQ(values->issued, utc(2026, 12, 31, 23, 58));
  // 23:58 + 45 min = 00:43 -> 00:45 the next day.
  EXPECT_EQ(values->expires, utc(2027, 1, 1, 0, 45));
  EXPECT_EQ(values->header, "ZCZC-WXR-TOR-016001-016027+0045-3652358-KBOI/NWS-");
  EXPECT_EQ(values->originatorcode, "WXR");
  EXPECT_EQ(values->eventcode, "TOR");
  EXPECT_EQ(values->locationcodes, (std::vector<std::string>{"016001", "016027"}));
  EXPECT_EQ(values->purge, "0045");
}

}  // namespace
