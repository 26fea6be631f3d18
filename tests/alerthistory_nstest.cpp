// zud's memory of alerts end to end: an alert in force survives a restart
// and expires on time, or late when zud was stopped then; a store that
// cannot be written never costs an alert on the network, and one deleted or
// on a full disk heals.  Each case runs in a private network namespace (and
// the full disk in a mount namespace of its own).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "gatewaytest.h"
#include "mountns.h"
#include "store/alertstore.h"

using namespace std::chrono_literals;

namespace {

using testsupport::GatewayTest;
using testsupport::isAlert;
using testsupport::Process;

TEST_F(GatewayTest, AlertInForceSurvivesARestartAndExpiresOnTimeWithItsLine) {
  // zud's clock alone is set: 8 December, day 342, a little before 10:15 UTC.
  // The warning was issued at 10:00 for 15 minutes, so it is in force until
  // 10:15:00 -- some 40 seconds of zud's time.
  startConfigured(testsupport::fakeClockAt("2026-12-08 10:14:15"));
  sim.writeIn("ZCZC-WXR-TOR-016001-016027+0015-3421000-KBOI/NWS-\n");
  ASSERT_GE(peer->waitFor(isAlert, 10000ms), 0) << zud.err();
  zud.signal(SIGTERM);
  ASSERT_EQ(Process::exitCode(zud.wait(10000ms)), 0) << zud.err();
  EXPECT_EQ(zud.out().find("alert expired"), std::string::npos) << zud.out();

  // Started again 20 seconds of its time later, it knows the alert from the
  // store and says when it expires, not before.
  Process again;
  startZudIn(again, work.path(), testsupport::fakeClockAt("2026-12-08 10:14:40"));
  ASSERT_TRUE(again.waitOut("1 alert in force", 10000ms)) << again.out() << again.err();
  EXPECT_FALSE(again.waitOut("alert expired", 8000ms)) << "expired before its time";
  ASSERT_TRUE(again.waitOut("alert expired: Tornado Warning for Ada ID, Canyon ID, issued "
                            "2026-12-08 10:00 UTC\n",
                            30000ms))
      << again.out();
  again.signal(SIGTERM);
  EXPECT_EQ(Process::exitCode(again.wait(10000ms)), 0);
}

// zud with its store at `store`, which cannot be written: two alerts heard.
// Both must reach the network, each with one line on standard error naming
// the store.
void expectAlertsDespite(Process &zud, testsupport::XplPeer &peer, Process &sim,
                         const std::string &store) {
  size_t errBefore = zud.err().size();
  sim.writeIn("ZCZC-WXR-TOR-016001+0045-0011742-KBOI/NWS-\n");
  ASSERT_GE(peer.waitFor(isAlert, 10000ms), 0) << zud.err();
  sim.writeIn("ZCZC-WXR-SVR-016001+0045-0011750-KBOI/NWS-\n");
  int second = peer.waitFor(
      [](const testsupport::Heard &h) {
        return isAlert(h) && h.value("event") == "Severe Thunderstorm Warning";
      },
      10000ms);
  ASSERT_GE(second, 0) << zud.err();
  ASSERT_TRUE(testsupport::eventually(
      [&] { return testsupport::occurrences(zud.err().substr(errBefore), "cannot keep the alert in " + store) == 2; },
      5000ms))
      << zud.err();
}

TEST_F(GatewayTest, DirectoryInPlaceOfTheStoreCostsNoAlert) {
  const std::string store = work.file("alerts.db");
  ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
  startConfigured();
  EXPECT_NE(zud.err().find("cannot open the alert store " + store), std::string::npos)
      << zud.err();
  expectAlertsDespite(zud, *peer, sim, store);
}

TEST_F(GatewayTest, FileThatIsNoDatabaseCostsNoAlertAndIsLeftAlone) {
  const std::string store = work.file("notes.txt");
  const std::string precious(4096, 'x');
  ASSERT_TRUE(testsupport::writeFile(store, precious));
  startConfigured({}, {"--store", store});
  expectAlertsDespite(zud, *peer, sim, store);
  EXPECT_NE(zud.err().find("file is not a database"), std::string::npos) << zud.err();
  EXPECT_EQ(testsupport::readFile(store), precious);
}

// Writes `header` to the receiver and waits for its trigger, whose event is `event`.
void hear(testsupport::XplPeer &peer, Process &sim, const std::string &header,
          const std::string &event) {
  sim.writeIn(header + "\n");
  ASSERT_GE(peer.waitFor(
                [&](const testsupport::Heard &h) { return isAlert(h) && h.value("event") == event; },
                10000ms),
            0)
      << event << " never broadcast";
}

// The event codes kept in the store at `path`, newest first; empty when it cannot be read.
std::vector<std::string> keptEvents(const std::string &path) {
  alertstore store;
  const auto all = store.openreadonly(path) ? store.alerts({}) : std::nullopt;
  std::vector<std::string> events;
  for (const storedalert &kept : all.value_or(std::vector<storedalert>{})) {
    events.push_back(kept.heard.values.eventcode);
  }
  return events;
}

TEST_F(GatewayTest, ExpiryThatCameWhileZudWasStoppedIsAnnouncedOnceAtTheNextStart) {
  startConfigured(testsupport::fakeClockAt("2026-12-08 10:14:15"));
  hear(*peer, sim, "ZCZC-WXR-TOR-016001-016027+0015-3421000-KBOI/NWS-", "Tornado Warning");
  zud.signal(SIGTERM);
  ASSERT_EQ(Process::exitCode(zud.wait(10000ms)), 0) << zud.err();

  // Started again five minutes after the alert's expiry at 10:15.
  Process again;
  startZudIn(again, work.path(), testsupport::fakeClockAt("2026-12-08 10:20:00"),
             {"--on-expire", "echo \"$ZUD_LATE $ZUD_EVENT_CODE\" >> expired.txt"});
  ASSERT_TRUE(again.waitOut("alert expired: Tornado Warning for Ada ID, Canyon ID, issued "
                            "2026-12-08 10:00 UTC -- it expired at 2026-12-08 10:15 UTC, while "
                            "zud was stopped\n",
                            10000ms))
      << again.out() << again.err();
  const std::string ran = work.file("expired.txt");
  ASSERT_TRUE(testsupport::eventually([&] { return !testsupport::readFile(ran).empty(); }, 10000ms));
  again.signal(SIGTERM);
  ASSERT_EQ(Process::exitCode(again.wait(10000ms)), 0) << again.err();
  EXPECT_EQ(testsupport::readFile(ran), "1 TOR\n");
  // Once: the store owes no announcement any more.
  alertstore kept;
  ASSERT_TRUE(kept.openreadonly(work.file("alerts.db"))) << kept.error();
  EXPECT_TRUE(kept.unannounced(std::time(nullptr) + 365 * 86400)->empty());
}

TEST_F(GatewayTest, DeletedStoreIsMadeAgainAtTheNextAlertWithTheAlertInForce) {
  startConfigured(testsupport::fakeClockAt("2026-12-08 10:14:15"));
  const std::string store = work.file("alerts.db");
  hear(*peer, sim, "ZCZC-WXR-TOR-016001-016027+0045-3421000-KBOI/NWS-", "Tornado Warning");
  // As `rm alerts.db` does: the -wal and -shm files stay behind.
  ASSERT_EQ(unlink(store.c_str()), 0);
  hear(*peer, sim, "ZCZC-WXR-SVR-016001+0045-3421005-KBOI/NWS-", "Severe Thunderstorm Warning");
  EXPECT_TRUE(zud.waitErr(store + " is no longer the file zud opened (it was deleted)", 10000ms));
  EXPECT_TRUE(testsupport::eventually(
      [&] { return keptEvents(store) == std::vector<std::string>{"SVR", "TOR"}; }, 10000ms));
  EXPECT_EQ(zud.err().find("cannot keep"), std::string::npos) << zud.err();
}

TEST_F(GatewayTest, FullDiskCostsNoAlertAndWhatWaitedIsKeptOnceThereIsRoom) {
  testsupport::SizedTmpfs disk(work.file("small"), "256k");
  ASSERT_TRUE(disk.mounted()) << std::strerror(errno);
  const std::string store = work.file("small/alerts.db");
  startConfigured({}, {"--store", store});
  ASSERT_TRUE(disk.fill());

  hear(*peer, sim, "ZCZC-WXR-TOR-016001+0045-0011742-KBOI/NWS-", "Tornado Warning");
  hear(*peer, sim, "ZCZC-WXR-SVR-016001+0045-0011750-KBOI/NWS-", "Severe Thunderstorm Warning");
  const std::string full = "cannot keep the alert in " + store + " (database or disk is full)";
  ASSERT_TRUE(testsupport::eventually(
      [&] { return testsupport::occurrences(zud.err(), full) == 2; }, 5000ms))
      << zud.err();

  ASSERT_TRUE(disk.unfill());
  hear(*peer, sim, "ZCZC-WXR-FFW-016001+0045-0011755-KBOI/NWS-", "Flash Flood Warning");
  EXPECT_TRUE(zud.waitErr(store + " can be written again: 2 alerts that waited", 10000ms));
  EXPECT_EQ(keptEvents(store), (std::vector<std::string>{"FFW", "SVR", "TOR"}));
  EXPECT_EQ(testsupport::occurrences(zud.err(), "cannot keep"), 2) << zud.err();
}

}  // namespace
