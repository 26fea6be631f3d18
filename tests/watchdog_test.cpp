// The receiver watchdog at chosen instants: an overdue weekly test is said
// once a day until a test arrives, only when the receiver passes tests, and
// a receiver that does not answer its query counts as a problem too.
#include "outputs/watchdog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr std::time_t day = 86400;
constexpr std::time_t created = 1796688000;  // 2026-12-08 00:00 UTC

std::vector<receiverhealth> changes;
void record(const receiverhealth &health, void *) { changes.push_back(health); }

// What the watchdog writes on standard error while `step` runs.
template <typename Step>
std::string said(Step step) {
  testing::internal::CaptureStderr();
  step();
  return testing::internal::GetCapturedStderr();
}

heardalert weeklytest(std::time_t when) {
  heardalert h;
  h.values.eventcode = "RWT";
  h.received = when;
  return h;
}

TEST(Watchdog, OverdueTestIsSaidOnceADayUntilOneArrives) {
  setenv("TZ", "UTC", 1);
  changes.clear();
  watchdog dog(8, record, nullptr);
  dog.settestexpected(true, created);
  EXPECT_EQ(said([&] { dog.start(std::nullopt, created, created); }), "");

  EXPECT_EQ(said([&] { dog.check(created + 8 * day); }), "");  // not more than 8 days yet
  const std::string first = said([&] { dog.check(created + 8 * day + 60); });
  EXPECT_NE(first.find("no Required Weekly Test heard for 8 days (none since 2026-12-08 00:00 UTC)"),
            std::string::npos)
      << first;
  EXPECT_TRUE(dog.health().problem);
  EXPECT_EQ(said([&] { dog.check(created + 8 * day + 3600); }), "");  // said today already
  EXPECT_NE(said([&] { dog.check(created + 9 * day + 60); }).find("for 9 days"), std::string::npos);

  EXPECT_EQ(said([&] { dog.alertheard(weeklytest(created + 9 * day + 120), false); }), "");
  EXPECT_FALSE(dog.health().problem);
  EXPECT_EQ(dog.health().lasttest, created + 9 * day + 120);
  ASSERT_FALSE(changes.empty());
  EXPECT_FALSE(changes.back().problem);
  EXPECT_EQ(said([&] { dog.check(created + 17 * day); }), "");
}

TEST(Watchdog, NoTestIsExpectedFromAReceiverNotSetToPassIt) {
  watchdog dog(8, record, nullptr);
  dog.settestexpected(false, created);
  dog.start(std::nullopt, created, created);
  EXPECT_EQ(said([&] { dog.check(created + 30 * day); }), "");
  EXPECT_FALSE(dog.health().problem);

  watchdog off(0, record, nullptr);
  off.settestexpected(true, created);
  off.start(std::nullopt, created, created);
  EXPECT_EQ(said([&] { off.check(created + 30 * day); }), "");
}

TEST(Watchdog, ReceiverThatDoesNotAnswerIsAProblemUntilItDoes) {
  setenv("TZ", "UTC", 1);
  watchdog dog(8, record, nullptr);
  dog.start(std::nullopt, created, created);
  const std::string silent = said([&] { dog.receiveranswer(created + 60, "/dev/ttyUSB0", false, {}); });
  EXPECT_NE(silent.find("the receiver on /dev/ttyUSB0 did not answer its query at "
                        "2026-12-08 00:01 UTC (never answered)"),
            std::string::npos)
      << silent;
  EXPECT_TRUE(dog.health().problem);
  EXPECT_EQ(said([&] { dog.receiveranswer(created + 120, "/dev/ttyUSB0", true, {}); }), "");
  EXPECT_FALSE(dog.health().problem);
}

}  // namespace
