// zud's memory of alerts end to end: an alert in force survives a restart
// and expires on time, and a store that cannot be written never costs an
// alert on the network.  Each case runs in a private network namespace.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "gatewaytest.h"

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

}  // namespace
