// The whole gateway end to end: the real zud binary beside xpl-hub and the
// simulated receiver zud-sim, watched and configured by an xPL peer inside the
// test process.  Each case runs in a private network namespace of its own,
// on the loopback interface only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "gatewaytest.h"
#include "process.h"
#include "xplpeer.h"

using namespace std::chrono_literals;

namespace {

using testsupport::GatewayTest;
using testsupport::Heard;
using testsupport::isAlert;
using testsupport::Process;
using testsupport::preamble;

TEST_F(GatewayTest, FirstStartAnnouncesSevenDefaultItemsAndOpensNothing) {
  startZud();
  awaitHeartbeat("config.app");
  const Heard *beat = nullptr;
  for (const auto &h : peer->heard()) {
    if (h.source == zudId && h.schema == "config.app") beat = &h;
  }
  ASSERT_NE(beat, nullptr);
  EXPECT_EQ(beat->value("interval"), "1");
  EXPECT_EQ(beat->value("remote-ip"), "127.0.0.1");
  EXPECT_EQ(beat->value("version"), ZUD_VERSION);

  Heard list = ask("config.list");
  std::vector<std::pair<std::string, std::string>> expected = {
      {"reconf", "newconf"},     {"reconf", "interval"},   {"option", "group[255]"},
      {"option", "filter[255]"}, {"reconf", "device"},     {"reconf", "freq"},
      {"reconf", "altfreq"},     {"reconf", "fips[4]"},    {"reconf", "eomreset"},
      {"reconf", "usealtfreq"},  {"reconf", "event[80]"}};
  EXPECT_EQ(list.body, expected);

  Heard current = ask("config.current");
  EXPECT_EQ(current.value("device"), "");
  EXPECT_EQ(current.value("freq"), "162.400");
  EXPECT_EQ(current.value("altfreq"), "0.0");
  EXPECT_EQ(current.values("fips"), std::vector<std::string>{"??????"});
  EXPECT_EQ(current.value("eomreset"), "false");
  EXPECT_EQ(current.value("usealtfreq"), "false");
  EXPECT_EQ(current.values("event"), std::vector<std::string>{"???"});

  EXPECT_EQ(access(configFile().c_str(), F_OK), -1) << "no file before a configuration";
  EXPECT_EQ(zud.out().find("writechar"), std::string::npos) << "no device opened";
}

TEST_F(GatewayTest, ConfigurationOpensTheReceiverMapsItAndIsSaved) {
  startConfigured();
  // A new interval restarts the service, announced as configured.
  int beat = peer->waitFor(
      [&](const Heard &h) { return h.source == zudId && h.schema == "hbeat.app"; }, 10000ms);
  ASSERT_GE(beat, 0);
  EXPECT_EQ(peer->heard()[beat].value("interval"), "10");

  std::string file = testsupport::readFile(configFile());
  EXPECT_EQ(file.rfind("[kelvora-zud]\n", 0), 0u) << file;
  EXPECT_NE(file.find("\ndevice=" + receiverLink() + "\n"), std::string::npos);
  EXPECT_NE(file.find("\nfips=016001\nfips=041045\n"), std::string::npos);
  EXPECT_NE(file.find("\nevent=TOR\nevent=SVR\n"), std::string::npos);

  // The mapped block is shown as the upload image, not uploaded.
  std::string out = zud.out();
  EXPECT_NE(out.find("fips 1 016001\nfips 2 041045\n"), std::string::npos);
  EXPECT_NE(out.find("eom reset mode 1\n"), std::string::npos);
  EXPECT_NE(out.find("main freq = 162.475 alt freq = 162.550"), std::string::npos);
  EXPECT_EQ(sim.out().find("recv p"), std::string::npos);
  EXPECT_NE(zud.err().find("device=" + receiverLink() + "\n"), std::string::npos);

  // The same configuration again edits nothing: no new image, no reopening.
  size_t outBefore = zud.out().size();
  size_t errBefore = zud.err().size();
  size_t simBefore = sim.out().size();
  configure(receiverConfig("162.475"));
  ASSERT_TRUE(zud.waitErr("event 1=SVR\n", 10000ms, errBefore));
  peer->pump(500);
  EXPECT_EQ(zud.out().find("main freq", outBefore), std::string::npos);
  EXPECT_EQ(sim.out().find("recv", simBefore), std::string::npos);
}

TEST_F(GatewayTest, HeaderFromTheReceiverBecomesOneAlertWithItsValuesInOrder) {
  startConfigured();
  // An issue time of day 1 keeps the date independent of today's date.
  sim.writeIn("ZCZC-WXR-TOR-016001-041045+0045-0011742-KBOI/NWS-\n");
  int i = peer->waitFor(isAlert, 10000ms);
  ASSERT_GE(i, 0) << zud.err();
  const Heard &alert = peer->heard()[i];
  EXPECT_EQ(alert.source, zudId);
  EXPECT_EQ(alert.target, "*");
  std::time_t now = std::time(nullptr);
  std::tm utc;
  gmtime_r(&now, &utc);
  std::string date = std::to_string(utc.tm_year + 1900) + "0101";
  std::vector<std::pair<std::string, std::string>> expected = {
      {"originator", "National Weather Service"},
      {"event", "Tornado Warning"},
      {"location", "Ada ID"},
      {"location", "Malheur OR"},
      {"duration", "45"},
      {"date", date},
      {"time", "174200"},
      {"source", "KBOI/NWS"}};
  EXPECT_EQ(alert.body, expected);
  peer->pump(500);
  EXPECT_EQ(alertsHeard(), 1);
}

TEST_F(GatewayTest, AllCountiesSwitchNamesEveryCountyAndWholeStates) {
  startConfigured({}, {"--all-counties"});
  sim.writeIn("ZCZC-WXR-TOR-006037-048000-016001+0045-0011742-KLOX/NWS-\n");
  int i = peer->waitFor(isAlert, 10000ms);
  ASSERT_GE(i, 0) << zud.err();
  std::vector<std::string> locations = {"Los Angeles CA", "All of Texas", "Ada ID"};
  EXPECT_EQ(peer->heard()[i].values("location"), locations);
}

TEST_F(GatewayTest, AlertTooLongForOneDatagramArrivesWholeAcrossSeveral) {
  startConfigured();
  // 31 codes of no known county, each read as a long text: together far
  // beyond one datagram.
  std::string header = "ZCZC-WXR-HUW";
  std::vector<std::string> expected;
  for (int county = 901; county <= 931; county++) {
    header += "-872" + std::to_string(county);
    expected.push_back("South Central County " + std::to_string(county) + " State 72");
  }
  header += "+0045-0011742-KBOI/NWS-\n";
  size_t from = peer->heard().size();
  sim.writeIn(header);

  std::vector<Heard> parts;
  std::vector<std::string> locations;
  auto collect = [&] {
    parts.clear();
    locations.clear();
    for (size_t i = from; i < peer->heard().size(); i++) {
      if (!isAlert(peer->heard()[i])) continue;
      parts.push_back(peer->heard()[i]);
      for (const auto &l : parts.back().values("location")) locations.push_back(l);
    }
    return locations.size() >= expected.size();
  };
  ASSERT_TRUE(peer->pumpUntil(collect, 10000ms)) << locations.size() << " locations\n"
                                                  << zud.err();
  peer->pump(500);
  collect();
  EXPECT_GE(parts.size(), 2u);
  EXPECT_EQ(locations, expected);
  // Each part is a whole alert: the other values around its locations.
  for (const Heard &part : parts) {
    ASSERT_GE(part.body.size(), 7u);
    EXPECT_EQ(part.body[0], (std::pair<std::string, std::string>{"originator",
                                                                  "National Weather Service"}));
    EXPECT_EQ(part.body[1], (std::pair<std::string, std::string>{
                                "event", "Hurricane/Tropical Storm Warning"}));
    size_t tail = part.body.size() - 4;
    for (size_t i = 2; i < tail; i++) EXPECT_EQ(part.body[i].first, "location");
    EXPECT_EQ(part.body[tail].first, "duration");
    EXPECT_EQ(part.body[tail + 1].first, "date");
    EXPECT_EQ(part.body[tail + 2], (std::pair<std::string, std::string>{"time", "174200"}));
    EXPECT_EQ(part.body[tail + 3], (std::pair<std::string, std::string>{"source", "KBOI/NWS"}));
  }
}

TEST_F(GatewayTest, AlertDuringABurstOfHeartbeatRequestsIsNotHeldBack) {
  startConfigured();
  peer->pump(500);
  size_t from = peer->heard().size();
  for (int i = 0; i < 20; i++) ASSERT_TRUE(peer->requestHeartbeats(1000ms));
  peer->pump(100);  // the requests reach zud before the header does
  sim.writeIn("ZCZC-WXR-TOR-016001+0045-0011742-KBOI/NWS-\n");
  int alert = peer->waitFor(isAlert, 10000ms, from);
  ASSERT_GE(alert, 0) << zud.err();
  // The requests are answered once, after their delay, behind the alert.
  int answer = peer->waitFor(
      [&](const Heard &h) { return h.source == zudId && h.schema == "hbeat.app"; }, 5000ms, from);
  ASSERT_GE(answer, 0);
  EXPECT_GT(answer, alert);
  peer->pump(3000);
  EXPECT_EQ(heartbeatsHeard(from), 1);
}

TEST_F(GatewayTest, HeartbeatsAndReconnectKeepTheirPaceUnderSteadyTraffic) {
  startSim();
  startZud();
  awaitHeartbeat("config.app");
  auto config = receiverConfig("162.475");
  config[1].second = "0";  // a heartbeat at every heartbeat check, 5 s apart
  configure(config);
  ASSERT_TRUE(sim.waitOut("recv d", 20000ms)) << zud.err();
  ASSERT_TRUE(zud.waitOut("main freq = 162.475", 20000ms)) << zud.out();
  peer->pump(500);

  size_t from = peer->heard().size();
  underTraffic(12000ms, [] { return false; });
  EXPECT_GE(heartbeatsHeard(from), 2);

  size_t errBefore = zud.err().size();
  size_t simBefore = sim.out().size();
  sim.writeIn("#hangup keep\n");
  ASSERT_TRUE(underTraffic(10000ms, [&] {
    return zud.err().find("receiver port " + receiverLink() + " lost", errBefore) !=
           std::string::npos;
  }));
  sim.writeIn("#return\n");
  // The 5 s retry runs although no second passes quietly.
  EXPECT_TRUE(underTraffic(15000ms, [&] {
    return sim.out().find("recv d", simBefore) != std::string::npos;
  })) << zud.err();
}

TEST_F(GatewayTest, SignalsDecodeTheSampleAndSendTheTestCommand) {
  startConfigured();
  zud.signal(SIGUSR2);
  int i = peer->waitFor(isAlert, 10000ms);
  ASSERT_GE(i, 0);
  const Heard &alert = peer->heard()[i];
  EXPECT_EQ(alert.value("event"), "Required Weekly Test");
  std::vector<std::string> locations = {"Ada ID",   "Adams ID",   "Boise ID",      "Canyon ID",
                                        "Elmore ID", "Gem ID",    "Owyhee ID",     "Payette ID",
                                        "Valley ID", "Washington ID", "Malheur OR"};
  EXPECT_EQ(alert.values("location"), locations);
  // The echo of the header keeps standard output text that journald shows:
  // the preamble bytes are written as [0xab], never raw.
  ASSERT_TRUE(zud.waitOut("[0xab][0xab]ZCZC-WXR-RWT-016001-", 5000ms)) << zud.out();
  EXPECT_EQ(zud.out().find('\xab'), std::string::npos);

  // SIGUSR1: the receiver is sent "t"; it answers with its sample, which
  // arrives as a line and is decoded like any other.
  size_t from = peer->heard().size();
  zud.signal(SIGUSR1);
  ASSERT_TRUE(sim.waitOut("recv t", 10000ms));
  EXPECT_GE(peer->waitFor(isAlert, 10000ms, from), 0);
}

TEST_F(GatewayTest, RejectedLinesAreReportedAndSendNothing) {
  startConfigured();
  size_t errBefore = zud.err().size();
  sim.writeIn("#raw \\xab\\xab\\xabZCZC-WXR-TOR-016001+0045-0011742-KBOI/NWS-\\r\\n\n");
  ASSERT_TRUE(zud.waitErr("bad preamble length: 3\n", 10000ms, errBefore));
  sim.writeIn("XXXX-WXR-TOR-016001+0045-0011742-KBOI/NWS-\n");
  ASSERT_TRUE(zud.waitErr("bad text start: ", 10000ms, errBefore));
  sim.writeIn("ZCZC-WXR-TOR-016001=0045-0011742-KBOI/NWS-\n");
  ASSERT_TRUE(zud.waitErr("missing time period separator: ", 10000ms, errBefore));
  sim.writeIn("ZCZC-WXR-TOR-016001+xx45-0011742-KBOI/NWS-\n");
  ASSERT_TRUE(zud.waitErr("cannot read time duration: ", 10000ms, errBefore));
  sim.writeIn("ZCZC-WXR-TOR-016001+0045-001x742-KBOI/NWS-\n");
  ASSERT_TRUE(zud.waitErr("cannot read date/time: ", 10000ms, errBefore));
  sim.writeIn("ZCZC-WX\n");
  sim.writeIn("NNNN\n");
  peer->pump(1000);
  EXPECT_EQ(alertsHeard(), 0);
}

TEST_F(GatewayTest, OverlongLineWithoutLineFeedIsDiscarded) {
  startConfigured();
  size_t errBefore = zud.err().size();
  sim.writeIn("#raw " + std::string(600, 'x') + "\n");
  ASSERT_TRUE(zud.waitErr("line of 512 bytes without a line feed -- discarded\n", 10000ms,
                          errBefore));
  // Assembly starts afresh: the leftover and a line feed make one bad line,
  // and the next header decodes.
  sim.writeIn("#raw \\n\n");
  sim.writeIn("ZCZC-WXR-TOR-016001+0045-0011742-KBOI/NWS-\n");
  EXPECT_GE(peer->waitFor(isAlert, 10000ms), 0) << zud.err();
}

TEST_F(GatewayTest, UnpluggedReceiverIsWithdrawnAndReopenedWhenItReturns) {
  startConfigured();
  size_t errBefore = zud.err().size();
  size_t outBefore = zud.out().size();
  size_t simBefore = sim.out().size();
  sim.writeIn("#hangup keep\n");
  ASSERT_TRUE(zud.waitErr("receiver port " + receiverLink() + " lost", 10000ms, errBefore));
  // No spinning while the port is gone: zud sleeps in its loop.
  sleep(2);
  sim.writeIn("#return\n");
  // Tried again within 5 s.
  ASSERT_TRUE(sim.waitOut("recv d", 20000ms, simBefore)) << zud.err();
  // The block is read again and the configuration mapped onto it.
  ASSERT_TRUE(zud.waitOut("main freq = 162.475", 20000ms, outBefore)) << zud.out();
  sim.writeIn("ZCZC-WXR-SVR-016001+0030-0011742-KBOI/NWS-\n");
  EXPECT_GE(peer->waitFor(isAlert, 10000ms), 0) << zud.out() << zud.err() << sim.out();
}

TEST_F(GatewayTest, DevicePathThatIsNoTerminalIsNeverWrittenTo) {
  startSim();
  startZud();
  awaitHeartbeat("config.app");
  std::string file = work.file("not-a-port");
  ASSERT_TRUE(testsupport::writeFile(file, "precious"));
  auto config = receiverConfig("162.475");
  config[2].second = file;
  configure(config);
  ASSERT_TRUE(zud.waitErr(file + " is not a terminal -- not opened\n", 10000ms));
  EXPECT_EQ(testsupport::readFile(file), "precious");
}

TEST_F(GatewayTest, UploadReachesTheReceiverWhenAskedFor) {
  startSim({"--dump"});
  startZud({}, {"--upload"});
  expectUploadOf("162.525");
}


TEST_F(GatewayTest, AlertsAndAnswersDoNotWaitForAnUpload) {
  const std::string fifo = work.file("eas");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  startSim({"--dump"});
  startZud({}, {"--upload", "--store", "none", "--source-file", fifo});
  awaitHeartbeat("config.app");
  configure(receiverConfig("162.525"));
  ASSERT_TRUE(sim.waitOut("recv p", 20000ms)) << zud.err();

  // The upload takes over five seconds (512 bytes, 10 ms apart); a header
  // from a line source and a heartbeat request are answered meanwhile.
  const size_t from = peer->heard().size();
  int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::string header = "ZCZC-WXR-TOR-016001+0045-0011742-KBOI/NWS-\n";
  ASSERT_EQ(write(fd, header.data(), header.size()), static_cast<ssize_t>(header.size()));
  close(fd);
  ASSERT_TRUE(peer->requestHeartbeats(5000ms));
  ASSERT_GE(peer->waitFor(isAlert, 5000ms, from), 0) << zud.err();
  EXPECT_EQ(sim.out().find("sent ack *"), std::string::npos) << "the alert waited for the upload";
  ASSERT_GE(peer->waitFor([&](const Heard &h) { return h.source == zudId && h.schema == "hbeat.app"; },
                          5000ms, from),
            0);
  EXPECT_EQ(sim.out().find("sent ack *"), std::string::npos) << "the answer waited for the upload";
  EXPECT_TRUE(sim.waitOut("sent ack *", 20000ms)) << zud.err();
}

TEST_F(GatewayTest, ConfigurationSentDuringTheStartUpUploadIsUploadedAfterIt) {
  // A configuration kept from an earlier run names the receiver at 162.475.
  startZud({}, {"--upload"});
  awaitHeartbeat("config.app");
  configure(receiverConfig("162.475"));
  ASSERT_TRUE(testsupport::eventually(
      [&] { return testsupport::readFile(configFile()).find("freq=162.475") != std::string::npos; },
      10000ms));
  zud.signal(SIGTERM);
  ASSERT_EQ(Process::exitCode(zud.wait(10000ms)), 0);

  // A receiver still at 162.400: the start-up uploads the kept frequency,
  // and a change sent meanwhile reaches zud (its heartbeat went first, so
  // the hub relays to it) and is uploaded after it.
  startSim({"--dump"});
  Process again;
  startZudIn(again, work.path(), {}, {"--upload"});
  ASSERT_TRUE(sim.waitOut("recv p", 20000ms)) << again.err();
  configure(receiverConfig("162.525"));
  ASSERT_TRUE(sim.waitOut("sent ack *", 20000ms)) << again.err();
  const size_t first = sim.out().find("sent ack *");
  EXPECT_NE(sim.out().rfind("162.475", first), std::string::npos) << sim.out();
  ASSERT_TRUE(sim.waitOut("sent ack *", 20000ms, first + 1)) << again.err();
  EXPECT_NE(sim.out().find("162.525", first), std::string::npos) << sim.out();
  EXPECT_EQ(again.err().find("writeconfig:"), std::string::npos) << again.err();
  again.signal(SIGKILL);
}

TEST_F(GatewayTest, AlertThatCannotBeSentIsSaidOnceAMinuteNotForEveryAlert) {
  startZud({}, {"--store", "none"});
  awaitHeartbeat("config.app");
  // The network goes away under zud (this namespace's own loopback loses
  // its address).
  ASSERT_EQ(system("ip -4 addr flush dev lo"), 0);
  for (int i = 1; i <= 3; i++) {
    zud.signal(SIGUSR2);
    ASSERT_TRUE(testsupport::eventually(
        [&] { return testsupport::occurrences(zud.out(), "ZCZC-WXR-RWT-") == i; }, 5000ms));
  }
  ASSERT_EQ(system("ip addr add 127.0.0.1/8 dev lo"), 0);
  EXPECT_EQ(testsupport::occurrences(zud.err(), "zud: cannot send Required Weekly Test on xPL ("), 1)
      << zud.err();
}

TEST_F(GatewayTest, WithoutDebugTheJournalHoldsOnePlainLinePerEvent) {
  startSim({"--ident", "WX RECEIVER\\r\\n"});
  // The last of --debug and --no-debug wins, as in the unit's command line.
  startZud({}, {"--debug", "--no-debug", "--upload"});
  awaitHeartbeat("config.app");
  configure(receiverConfig("162.525"));
  ASSERT_TRUE(zud.waitOut("configuration block uploaded: main 162.525 MHz", 30000ms)) << zud.out();
  sim.writeIn("ZCZC-WXR-TOR-016001+0045-0011742-KBOI/NWS-\n");
  ASSERT_TRUE(zud.waitOut("alert: Tornado Warning for Ada ID, until ", 10000ms)) << zud.out();
  const std::string out = zud.out();
  for (const char *line : {"zud 1.0 started as kelvora-zud.", "configuration changed: device=",
                           "receiver " , "answered: WX RECEIVER\n",
                           "configuration block read: main 162.400 MHz",
                           " -- sent on xPL, kept in the store"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  }
  // No dump, trace or echo.
  for (const char *noise : {"writechar returns", "waitfor ", "[0xab]", "main freq =", "512 bytes"}) {
    EXPECT_EQ(out.find(noise), std::string::npos) << noise << "\n" << out;
  }
  EXPECT_EQ(zud.err().find("device="), std::string::npos) << zud.err();
}

TEST_F(GatewayTest, UploadIsStillAskedForByTheEnvironment) {
  startSim({"--dump"});
  startZud({"ZUD_UPLOAD=1"});
  expectUploadOf("162.525");
}

TEST_F(GatewayTest, UnknownOptionIsRefusedWithOneLineAndStatus2) {
  // A misspelt option in the service's options file must not go unnoticed.
  startZud({}, {"-interfce", "eth0"});
  EXPECT_EQ(Process::exitCode(zud.wait(10000ms)), 2);
  EXPECT_EQ(zud.err(), "zud: unknown option '-interfce' (try 'zud --help')\n");
  EXPECT_EQ(zud.out(), "");
}

TEST_F(GatewayTest, RestartLoadsTheFileAndTerminationSaysGoodbye) {
  startConfigured();
  ASSERT_TRUE(testsupport::eventually([&] { return access(configFile().c_str(), F_OK) == 0; },
                                      5000ms));
  std::string instance = zudId;

  zud.signal(SIGTERM);
  int status = zud.wait(10000ms);
  EXPECT_EQ(Process::exitCode(status), 0);
  int bye = peer->waitFor(
      [&](const Heard &h) { return h.source == instance && h.schema == "hbeat.end"; }, 5000ms);
  EXPECT_GE(bye, 0);

  // Started again, it knows its configuration and identity from the file.
  size_t simBefore = sim.out().size();
  Process again;
  Process::Options o;
  o.workDir = work.path();
  ASSERT_TRUE(again.start(testsupport::binPath("zud"), {"-interface", "lo"}, o));
  size_t from = peer->heard().size();
  int hello = peer->waitFor(
      [&](const Heard &h) { return h.source == instance && h.schema == "hbeat.app"; }, 15000ms,
      from);
  EXPECT_GE(hello, 0) << again.err();
  EXPECT_TRUE(sim.waitOut("recv d", 20000ms, simBefore));
  again.signal(SIGINT);
  EXPECT_EQ(Process::exitCode(again.wait(10000ms)), 0);
}

TEST(GatewayCommandLine, HelpAndVersionExitCleanly) {
  Process help;
  ASSERT_TRUE(help.start(testsupport::binPath("zud"), {"--help"}));
  EXPECT_EQ(Process::exitCode(help.wait(5000ms)), 0);
  EXPECT_NE(help.out().find("usage: zud"), std::string::npos);
  Process version;
  ASSERT_TRUE(version.start(testsupport::binPath("zud"), {"--version"}));
  EXPECT_EQ(Process::exitCode(version.wait(5000ms)), 0);
  EXPECT_EQ(version.out(), "zud " ZUD_VERSION "\n");
}

TEST(GatewayCommandLine, NoUsableInterfaceEndsWithStatusOneAndSaysWhy) {
  // Only the loopback exists here, and it is not named: nothing to join.
  Process zud;
  ASSERT_TRUE(zud.start(testsupport::binPath("zud"), {}));
  EXPECT_EQ(Process::exitCode(zud.wait(5000ms)), 1);
  EXPECT_NE(zud.err().find("Cannot start xPL!\n"
                           "zud: no network interface is up other than the loopback\n"),
            std::string::npos)
      << zud.err();

  Process named;
  ASSERT_TRUE(named.start(testsupport::binPath("zud"), {"-interface", "nosuch0"}));
  EXPECT_EQ(Process::exitCode(named.wait(5000ms)), 1);
  EXPECT_NE(named.err().find("Cannot start xPL!\nzud: network interface nosuch0 not found\n"),
            std::string::npos)
      << named.err();
}

TEST(GatewayFailure, EventLoopThatFailsEndsWithStatusOneAndSaysWhy) {
  testsupport::TempDir work;
  Process zud;
  Process::Options o;
  o.workDir = work.path();
  // A sanitized build's leak check at exit needs the descriptors taken away below.
  o.extraEnv.push_back("ASAN_OPTIONS=detect_leaks=0");
  ASSERT_TRUE(zud.start(testsupport::binPath("zud"), {"-interface", "lo"}, o));
  ASSERT_TRUE(zud.waitErr("usealtfreq=false\n", 5000ms)) << zud.err();
  // Fewer descriptors allowed than it polls: its next poll() fails.
  struct rlimit limit;
  ASSERT_EQ(prlimit(zud.pid(), RLIMIT_NOFILE, nullptr, &limit), 0);
  limit.rlim_cur = 1;
  ASSERT_EQ(prlimit(zud.pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
  EXPECT_EQ(Process::exitCode(zud.wait(5000ms)), 1);
  std::string err = zud.err();
  EXPECT_EQ(err.substr(err.rfind('\n', err.size() - 2) + 1),
            "zud: the event loop failed: Invalid argument\n")
      << err;
}

}  // namespace
