// The alert store on its own: what it keeps of an alert and its repeats,
// what a restart reads back as in force or as an expiry still to announce,
// how many rejected lines it keeps, how it fails (a lock held too long, a
// schema it does not know), and how the store output waits out a lock.
#include "store/alertstore.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "outputs/storeoutput.h"
#include "same/lifetime.h"
#include "process.h"
#include "store/sqlite.h"

namespace {

std::time_t utc(int year, int month, int day, int hour, int minute) {
  return static_cast<std::time_t>(daysFromCivil(year, month, day) * 86400LL + hour * 3600LL +
                                  minute * 60LL);
}

// A heard alert of `event` issued at `issued` for 45 minutes.
heardalert heard(const std::string &event, std::time_t issued, std::time_t received) {
  heardalert h;
  alert &a = h.values;
  a.originatorcode = "WXR";
  a.originator = "National Weather Service";
  a.eventcode = event;
  a.event = event == "RWT" ? "Required Weekly Test" : "Tornado Warning";
  a.locationcodes = {"016001", "016027"};
  a.locations = {"Ada ID", "Canyon ID"};
  a.purge = "0045";
  a.duration = "45";
  a.issued = issued;
  a.expires = expiry(issued, 45);
  a.source = "KBOI/NWS";
  a.header = "ZCZC-WXR-" + event + "-016001-016027+0045-3421000-KBOI/NWS-";
  h.received = received;
  h.origin = "/dev/ttyUSB0";
  return h;
}

// What brings a store of today's schema back to the second one: no record
// of announced expiries, no sample column.
// What the third and fourth schema steps added, taken away again: a store as
// an older zud left it.
const std::string withoutannouncements =
    "ALTER TABLE alerts DROP COLUMN message; ALTER TABLE alerts DROP COLUMN message_seconds; "
    "ALTER TABLE answers DROP COLUMN why; "
    "DROP INDEX alerts_unannounced; ALTER TABLE alerts DROP COLUMN expiry_announced; "
    "ALTER TABLE alerts DROP COLUMN sample; ";

class AlertStore : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    ASSERT_TRUE(store.open(path)) << store.error();
  }
  testsupport::TempDir dir;
  std::string path = dir.file("alerts.db");
  alertstore store;
};

TEST_F(AlertStore, RepeatIsCountedOnItsAlertAndARestartReadsTheAlertsInForce) {
  const std::time_t ten = utc(2026, 12, 8, 10, 0);
  ASSERT_TRUE(store.addalert(heard("TOR", ten, ten + 60)));
  ASSERT_TRUE(store.addalert(heard("TOR", ten, ten + 120)));  // the same header again
  ASSERT_TRUE(store.addalert(heard("RWT", ten - 3600, ten - 3000)));  // expired at 9:45
  store.close();

  alertstore again;
  ASSERT_TRUE(again.open(path)) << again.error();
  const auto inforce = again.inforce(ten + 300);
  ASSERT_TRUE(inforce);
  ASSERT_EQ(inforce->size(), 1u);
  const storedalert &kept = inforce->front();
  EXPECT_EQ(kept.repeats, 1);
  EXPECT_EQ(kept.heard.received, ten + 60);
  EXPECT_EQ(kept.lastheard, ten + 120);
  const alert &a = kept.heard.values;
  EXPECT_EQ(a.locationcodes, (std::vector<std::string>{"016001", "016027"}));
  EXPECT_EQ(a.locations, (std::vector<std::string>{"Ada ID", "Canyon ID"}));
  EXPECT_EQ(a.expires, utc(2026, 12, 8, 10, 45));
  // The trigger's own texts come back as the decoder made them.
  EXPECT_EQ(a.duration, "45");
  EXPECT_EQ(a.date, "20261208");
  EXPECT_EQ(a.time, "100000");
  EXPECT_EQ(alertkey(a), alertkey(heard("TOR", ten, 0).values));

  const auto all = again.alerts({});
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 2u);
  EXPECT_EQ(all->front().heard.values.eventcode, "TOR");  // newest first
  const auto health = again.health();
  ASSERT_TRUE(health);
  ASSERT_TRUE(health->lasttest);
  EXPECT_EQ(*health->lasttest, ten - 3000);
}

TEST_F(AlertStore, KeepsTheNewestRejectedLinesOnly) {
  for (long long i = 0; i < rejectionsKept + 5; i++) {
    ASSERT_TRUE(store.addrejection(static_cast<std::time_t>(i), "line " + std::to_string(i),
                                   "bad text start"));
  }
  const auto kept = store.rejections(0);
  ASSERT_TRUE(kept);
  ASSERT_EQ(kept->size(), static_cast<size_t>(rejectionsKept));
  EXPECT_EQ(kept->front().line, "line " + std::to_string(rejectionsKept + 4));
  EXPECT_EQ(kept->back().line, "line 5");
}

TEST_F(AlertStore, LockHeldPastTheBusyTimeoutFailsTheWriteNotTheStore) {
  sqlitedb other;
  ASSERT_TRUE(other.open(path, sqlitedb::mode::readwrite));
  ASSERT_TRUE(other.exec("BEGIN IMMEDIATE"));
  const std::time_t ten = utc(2026, 12, 8, 10, 0);
  EXPECT_FALSE(store.addalert(heard("TOR", ten, ten)));
  EXPECT_EQ(store.error(), "database is locked");
  ASSERT_TRUE(other.exec("COMMIT"));
  // Nothing half-written stays behind, and the next write goes through.
  EXPECT_TRUE(store.addalert(heard("TOR", ten, ten))) << store.error();
  const auto all = store.alerts({});
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 1u);
  EXPECT_EQ(all->front().repeats, 0);
  EXPECT_EQ(all->front().heard.values.locationcodes.size(), 2u);
}

TEST_F(AlertStore, StoreOfANewerSchemaIsLeftAlone) {
  store.close();
  {
    sqlitedb raw;
    ASSERT_TRUE(raw.open(path, sqlitedb::mode::readwrite));
    ASSERT_TRUE(raw.exec("PRAGMA user_version = 99"));
  }
  alertstore newer;
  EXPECT_FALSE(newer.open(path));
  EXPECT_NE(newer.error().find("schema version 99"), std::string::npos) << newer.error();
  EXPECT_FALSE(newer.openreadonly(path));
}

TEST_F(AlertStore, OwedDeliveriesAreOnlyThoseNotSettledInTheOrderHeard) {
  const std::time_t ten = utc(2026, 12, 8, 10, 0);
  const heardalert history = heard("RWT", ten - 600, ten - 600);  // before MQTT was on
  const heardalert first = heard("TOR", ten, ten);
  const heardalert second = heard("TOR", ten + 60, ten + 60);
  ASSERT_TRUE(store.addalert(history));
  ASSERT_TRUE(store.addalert(second));  // kept before the first: not the order owed
  ASSERT_TRUE(store.addalert(first));
  ASSERT_TRUE(store.owe(first.values, "mqtt"));
  ASSERT_TRUE(store.owe(second.values, "mqtt"));
  ASSERT_TRUE(store.owe(second.values, "mqtt"));  // owed once however often said
  ASSERT_TRUE(store.owe(first.values, "elsewhere"));

  auto owed = store.owed("mqtt");
  ASSERT_TRUE(owed);
  ASSERT_EQ(owed->size(), 2u);
  EXPECT_EQ((*owed)[0].heard.values.issued, second.values.issued);
  EXPECT_EQ((*owed)[1].heard.values.issued, first.values.issued);
  EXPECT_EQ((*owed)[1].heard.values.locations, first.values.locations);

  ASSERT_TRUE(store.settle(second.values, "mqtt"));
  store.close();
  ASSERT_TRUE(store.open(path));
  owed = store.owed("mqtt");
  ASSERT_TRUE(owed);
  ASSERT_EQ(owed->size(), 1u);
  EXPECT_EQ(alertkey((*owed)[0].heard.values), alertkey(first.values));
  EXPECT_EQ(store.owed("elsewhere")->size(), 1u);
}

TEST_F(AlertStore, StoreOfTheFirstSchemaGainsTheOutboxAndKeepsItsAlerts) {
  const std::time_t ten = utc(2026, 12, 8, 10, 0);
  ASSERT_TRUE(store.addalert(heard("TOR", ten, ten)));
  store.close();
  {
    // As the first zud with a store left it.
    sqlitedb raw;
    ASSERT_TRUE(raw.open(path, sqlitedb::mode::readwrite));
    ASSERT_TRUE(raw.exec((withoutannouncements + "DROP TABLE outbox; PRAGMA user_version = 1").c_str()));
  }
  ASSERT_TRUE(store.open(path)) << store.error();
  ASSERT_TRUE(store.owe(heard("TOR", ten, ten).values, "mqtt")) << store.error();
  EXPECT_EQ(store.owed("mqtt")->size(), 1u);
  EXPECT_EQ(store.inforce(ten)->size(), 1u);
}

TEST_F(AlertStore, ExpiryIsOwedOnlyForAnAlertThatWasInForceUntilItIsAnnounced) {
  const std::time_t ten = utc(2026, 12, 8, 10, 0);
  ASSERT_TRUE(store.addalert(heard("TOR", ten, ten)));
  ASSERT_TRUE(store.addalert(heard("SVR", ten, ten + 3600)));  // heard after its expiry
  EXPECT_TRUE(store.unannounced(ten)->empty()) << "owed before its expiry";
  const auto owed = store.unannounced(ten + 7200);
  ASSERT_TRUE(owed && owed->size() == 1u);
  EXPECT_EQ(owed->front().heard.values.eventcode, "TOR");
  ASSERT_TRUE(store.expiryannounced(owed->front().heard.values));
  EXPECT_TRUE(store.unannounced(ten + 7200)->empty());
}

TEST_F(AlertStore, UpgradeAnnouncesNoPastExpiryAndNoSampleIsTheLastWeeklyTest) {
  // The real clock: the upgrade marks what has expired by then.
  const std::time_t now = std::time(nullptr);
  const heardalert test = heard("RWT", now - 2 * 86400, now - 2 * 86400);
  heardalert oldsample = heard("RWT", now - 86400, now - 86400);
  oldsample.origin = "built-in sample (SIGUSR2)";
  for (const heardalert &h : {test, oldsample, heard("TOR", now - 60, now - 60)}) {
    ASSERT_TRUE(store.addalert(h));
  }
  store.close();
  {
    sqlitedb raw;
    ASSERT_TRUE(raw.open(path, sqlitedb::mode::readwrite));
    ASSERT_TRUE(raw.exec((withoutannouncements + "PRAGMA user_version = 2").c_str()));
  }
  ASSERT_TRUE(store.open(path)) << store.error();
  heardalert sample = heard("RWT", now - 3 * 3600, now - 600);
  sample.sample = true;
  ASSERT_TRUE(store.addalert(sample));

  const auto owed = store.unannounced(now + 86400);
  ASSERT_TRUE(owed && owed->size() == 1u);
  EXPECT_EQ(owed->front().heard.values.eventcode, "TOR");
  const auto health = store.health();
  ASSERT_TRUE(health && health->lasttest);
  EXPECT_EQ(*health->lasttest, test.received);
}

TEST_F(AlertStore, AlertsThatFindTheStoreLockedWaitAndAreKeptInOrderWithWhatTheyOwe) {
  storeoutput out(path);
  sqlitedb other;
  ASSERT_TRUE(out.open() && other.open(path, sqlitedb::mode::readwrite));
  ASSERT_TRUE(other.exec("BEGIN IMMEDIATE"));
  const std::time_t ten = utc(2026, 12, 8, 10, 0);
  testing::internal::CaptureStderr();
  out.owe(heard("TOR", ten, ten), "mqtt");  // as MQTT does right after publishing it
  out.alertheard(heard("TOR", ten, ten), false);
  out.alertheard(heard("SVR", ten, ten + 1), false);
  const std::string said = testing::internal::GetCapturedStderr();
  const std::string line = "cannot keep the alert in " + path + " (database is locked)";
  EXPECT_NE(said.find(line), said.rfind(line)) << said;  // two, one per alert
  ASSERT_TRUE(other.exec("COMMIT"));

  out.alertheard(heard("FFW", ten, ten + 2), false);
  const auto all = store.alerts({});
  std::vector<std::string> events;
  for (const storedalert &kept : *all) events.push_back(kept.heard.values.eventcode);
  EXPECT_EQ(events, (std::vector<std::string>{"FFW", "SVR", "TOR"}));
  EXPECT_EQ(all->back().repeats, 0) << "kept twice";
  EXPECT_EQ(store.owed("mqtt")->size(), 1u);
}

}  // namespace
