// Line sources and commands per alert end to end: a real decoder
// (multimon-ng) hearing audio made here, a source command that exits, the
// configured fips and events applied to what a radio hears, the
// environment of a command per alert, its timeout and its queue, and no
// child outliving zud.  Each case runs in a private network namespace.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "gatewaytest.h"
#include "sameaudio.h"

using namespace std::chrono_literals;

namespace {

using testsupport::Heard;
using testsupport::isAlert;
using testsupport::Process;

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> all;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    all.push_back(text.substr(start, end - start));
  }
  return all;
}

// Whether any process of the group lives; a zombie, waiting for whoever
// inherited it to reap it, is dead.  A process ID stands for the group it
// leads, or for itself.
bool alive(pid_t group) {
  DIR *proc = opendir("/proc");
  if (proc == nullptr) return true;
  bool found = false;
  while (dirent *entry = readdir(proc)) {
    const std::string stat = testsupport::readFile(std::string("/proc/") + entry->d_name + "/stat");
    const size_t close = stat.rfind(')');
    if (stat.empty() || close == std::string::npos) continue;
    char state = 0;
    int parent = 0;
    int pgrp = 0;
    if (sscanf(stat.c_str() + close + 1, " %c %d %d", &state, &parent, &pgrp) != 3) continue;
    const int pid = std::atoi(entry->d_name);
    if (state != 'Z' && state != 'X' && (pid == group || pgrp == group)) found = true;
  }
  closedir(proc);
  return found;
}

bool gone(pid_t group) { return !alive(group); }

pid_t pidIn(const std::string &path) {
  const std::string text = testsupport::readFile(path);
  return text.empty() ? -1 : static_cast<pid_t>(std::stol(text));
}

class SourceTest : public testsupport::GatewayTest {
 protected:
  void TearDown() override {
    // Stopped the proper way first, so that its children are ended too.
    if (zud.running()) {
      zud.signal(SIGTERM);
      zud.wait(10000ms);
    }
    GatewayTest::TearDown();
  }

  std::string fifo() const { return work.file("eas"); }

  // zud with the FIFO as a line source and `args` besides, unconfigured
  // (every header passes); waits until it is on the network.
  void startWithFifo(std::vector<std::string> args, std::vector<std::string> env = {}) {
    ASSERT_EQ(mkfifo(fifo().c_str(), 0600), 0);
    args.insert(args.begin(), {"--store", "none", "--source-file", fifo()});
    startZud(std::move(env), std::move(args));
    awaitHeartbeat("config.app");
  }

  // What a decoder would print, written into the FIFO in one go.
  void feed(const std::string &text) {
    int fd = -1;
    // Opened without blocking: it fails until zud reads the FIFO.
    ASSERT_TRUE(testsupport::eventually(
        [&] { return (fd = open(fifo().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; },
        10000ms))
        << zud.err();
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
  }

  int waitForEvent(const std::string &event, std::chrono::milliseconds timeout = 10000ms) {
    return peer->waitFor(
        [&](const Heard &h) { return isAlert(h) && h.value("event") == event; }, timeout);
  }

  std::vector<std::string> alertEvents() const {
    std::vector<std::string> events;
    for (const Heard &h : peer->heard()) {
      if (isAlert(h)) events.push_back(h.value("event"));
    }
    return events;
  }
};

TEST_F(SourceTest, MultimonNgDecodingGeneratedAudioSendsTheAlertOnce) {
  ASSERT_EQ(access("/usr/bin/multimon-ng", X_OK), 0)
      << "multimon-ng is missing: scripts/test installs it (apt-get install multimon-ng)";
  // The sound appears only once zud is on the network; until then the
  // decoder fails to open it and is started again every 5 s.
  const std::string audio = work.file("radio.raw");
  startZud({}, {"--store", "none", "--source-command", "multimon-ng -t raw -a EAS " + audio});
  awaitHeartbeat("config.app");
  const std::string header = "ZCZC-WXR-TOR-016001-016027+0045-3421742-KBOI/NWS-";
  ASSERT_TRUE(testsupport::writeFile(
      audio + ".new", testsupport::rawBytes(testsupport::sameMessage(header))));
  ASSERT_EQ(rename((audio + ".new").c_str(), audio.c_str()), 0);

  const int i = waitForEvent("Tornado Warning", 20000ms);
  ASSERT_GE(i, 0) << zud.out() << zud.err();
  const Heard &alert = peer->heard()[i];
  EXPECT_EQ(alert.value("originator"), "National Weather Service");
  EXPECT_EQ(alert.values("location"), (std::vector<std::string>{"Ada ID", "Canyon ID"}));
  EXPECT_EQ(alert.value("duration"), "45");
  EXPECT_EQ(alert.value("source"), "KBOI/NWS");
  EXPECT_EQ(alert.value("time"), "174200");

  // The decoder runs again 5 s later over the same sound: within 15 s that
  // is the same alert, and its three bursts and "NNNN" never were more.
  ASSERT_TRUE(zud.waitOut("heard again within 15 s, not sent again", 20000ms)) << zud.out();
  peer->pump(500);
  EXPECT_EQ(alertsHeard(), 1) << zud.out();
}

TEST_F(SourceTest, SourceCommandThatKeepsExitingIsStartedAgainLessOftenAndSaysItOnce) {
  // Each run counts itself and prints a header of its own.
  const std::string command =
      "n=$(cat runs 2>/dev/null || echo 0); n=$((n + 1)); echo $n > runs; "
      "echo \"EAS: ZCZC-WXR-TOR-016001+0045-342170$n-KBOI/NWS-\"; "
      "echo 'on my way out' >&2; exit 3";
  startZud({}, {"--store", "none", "--source-command", command});
  awaitHeartbeat("config.app");
  // The second run's header: its output was read after the restart.
  const int second = peer->waitFor(
      [](const Heard &h) { return isAlert(h) && h.value("time") == "170200"; }, 20000ms);
  ASSERT_GE(second, 0) << zud.err();
  // It failed again within a minute: the third run comes 10 s later, not 5,
  // and what it says, the same each time, is said once.
  const int third = peer->waitFor(
      [](const Heard &h) { return isAlert(h) && h.value("time") == "170300"; }, 20000ms, second);
  ASSERT_GE(third, 0) << zud.err();
  EXPECT_EQ(testsupport::occurrences(zud.err(), "source 1: on my way out\n"), 1) << zud.err();
  EXPECT_EQ(testsupport::occurrences(zud.err(), "source 1: exited with status 3 -- starting it again in 5 s\n"), 1)
      << zud.err();
  EXPECT_EQ(testsupport::occurrences(zud.err(), "exited with status 3"), 1) << zud.err();
}

TEST_F(SourceTest, OnlyHeadersForTheConfiguredFipsAndEventsAreSent) {
  ASSERT_EQ(mkfifo(fifo().c_str(), 0600), 0);
  // fips 016001 and 041045, events TOR and SVR.
  startConfigured({}, {"--store", "none", "--source-file", fifo()});
  const std::string preamble(16, '\xab');
  feed("Enabled demodulators: EAS\n"
       "EAS: ZCZC-WXR-FFW-016001+0045-3421742-KBOI/NWS-\n"    // another event
       "EAS: ZCZC-WXR-TOR-016003+0045-3421742-KBOI/NWS-\n"    // another county
       "EAS: ZCZC-WXR-TOR-053045+0045-3421742-KBOI/NWS-\n"    // the county number of another state
       "EAS (part): ZCZC-WXR-TOR-016001+0045-3421742-KBOI/NWS-\n"  // a burst, not a message
       "EAS: ZCZC-WXR-TOR-041000+0045-3421742-KPDT/NWS-\n"    // all of Oregon: 041045 too
       "EAS: NNNN\n" +
       preamble + "ZCZC-WXR-SVR-216001+0045-3421742-KBOI/NWS-\r\n"  // part of 016001
       "NNNN\n");
  ASSERT_GE(waitForEvent("Severe Thunderstorm Warning"), 0) << zud.out() << zud.err();
  EXPECT_EQ(alertEvents(),
            (std::vector<std::string>{"Tornado Warning", "Severe Thunderstorm Warning"}));
  EXPECT_EQ(testsupport::occurrences(zud.out(), "not for the configured fips and events, not sent"), 3) << zud.out();

  // The configuration is read at each header: a flood warning, refused
  // above, goes out once the events include it.
  auto config = receiverConfig("162.475");
  config.push_back({"event", "FFW"});
  configure(config);
  ASSERT_TRUE(zud.waitErr("event 2=FFW", 10000ms)) << zud.err();
  feed("EAS: ZCZC-WXR-FFW-016001+0045-3421743-KBOI/NWS-\n");
  EXPECT_GE(waitForEvent("Flash Flood Warning"), 0) << zud.out();
}

TEST_F(SourceTest, CommandsPerAlertAndExpirySeeTheAlertAndNoSecret) {
  // zud's clock: the warning was issued at 10:00 UTC for 15 minutes, so it
  // expires some ten seconds after zud starts.
  std::vector<std::string> env = testsupport::fakeClockAt("2026-12-08 10:14:50");
  env.push_back("ZUD_MQTT_PASSWORD=hunter2");
  env.push_back("ZUD_EVENT=left over from the caller");
  const std::string hook =
      "env -0 > $0.tmp; [ \"$(readlink /proc/self/fd/0)\" = /dev/null ] || echo stdin > $0.tmp; "
      "mv $0.tmp $0";
  startWithFifo({"--on-alert", "sh -c '" + hook + "' alert.env", "--on-expire",
                 "sh -c '" + hook + "' expire.env"},
                env);
  feed("EAS: ZCZC-WXR-TOR-016001-016027+0015-3421000-KBOI/NWS-\n");
  ASSERT_GE(waitForEvent("Tornado Warning"), 0) << zud.err();

  for (const char *name : {"alert.env", "expire.env"}) {
    SCOPED_TRACE(name);
    const std::string path = work.file(name);
    ASSERT_TRUE(testsupport::eventually([&] { return access(path.c_str(), F_OK) == 0; }, 30000ms))
        << zud.out() << zud.err();
    std::map<std::string, std::string> vars;
    const std::string text = testsupport::readFile(path);
    ASSERT_NE(text, "stdin\n") << "standard input is not /dev/null";
    for (size_t start = 0, end; (end = text.find('\0', start)) != std::string::npos;
         start = end + 1) {
      const std::string entry = text.substr(start, end - start);
      vars[entry.substr(0, entry.find('='))] = entry.substr(entry.find('=') + 1);
    }
    EXPECT_EQ(vars["ZUD_EVENT_CODE"], "TOR");
    EXPECT_EQ(vars["ZUD_EVENT"], "Tornado Warning");
    EXPECT_EQ(vars["ZUD_ORIGINATOR_CODE"], "WXR");
    EXPECT_EQ(vars["ZUD_ORIGINATOR"], "National Weather Service");
    EXPECT_EQ(vars["ZUD_SIGNIFICANCE"], "warning");
    EXPECT_EQ(vars["ZUD_LOCATIONS"], "016001 016027");
    EXPECT_EQ(vars["ZUD_LOCATION_NAMES"], "Ada ID\nCanyon ID");
    struct tm issued {};
    issued.tm_year = 2026 - 1900;
    issued.tm_mon = 11;
    issued.tm_mday = 8;
    issued.tm_hour = 10;
    EXPECT_EQ(vars["ZUD_ISSUED"], std::to_string(timegm(&issued)));
    EXPECT_EQ(vars["ZUD_EXPIRES"], std::to_string(timegm(&issued) + 15 * 60));
    EXPECT_EQ(vars["ZUD_DURATION"], "0015");
    EXPECT_EQ(vars["ZUD_STATION"], "KBOI/NWS");
    EXPECT_EQ(vars["ZUD_HEADER"], "ZCZC-WXR-TOR-016001-016027+0015-3421000-KBOI/NWS-");
    EXPECT_NE(vars["ZUD_JSON"].find("\"event_type\":\"TOR\""), std::string::npos)
        << vars["ZUD_JSON"];
    EXPECT_NE(vars["ZUD_JSON"].find("\"name\":\"Canyon ID\""), std::string::npos);
    // zud's own environment passes on, less its secrets.
    EXPECT_EQ(vars["TZ"], "UTC");
    EXPECT_EQ(vars.count("ZUD_MQTT_PASSWORD"), 0u);
  }
}

TEST_F(SourceTest, CommandsPerAlertRunFourAtOnceAndTheRestInOrder) {
  // Each command runs until the test lets its event go.
  startWithFifo({"--on-alert",
                 "echo \"$ZUD_EVENT_CODE\" >> started; "
                 "while [ ! -e \"release.$ZUD_EVENT_CODE\" ]; do sleep 0.05; done"});
  feed("ZCZC-WXR-TOR-016001+0045-3421742-KBOI/NWS-\n"
       "ZCZC-WXR-SVR-016001+0045-3421742-KBOI/NWS-\n"
       "ZCZC-WXR-FFW-016001+0045-3421742-KBOI/NWS-\n"
       "ZCZC-WXR-EWW-016001+0045-3421742-KBOI/NWS-\n"
       "ZCZC-WXR-BZW-016001+0045-3421742-KBOI/NWS-\n"
       "ZCZC-WXR-WSW-016001+0045-3421742-KBOI/NWS-\n");
  ASSERT_GE(waitForEvent("Winter Storm Warning"), 0) << zud.err();
  EXPECT_EQ(alertsHeard(), 6);
  const std::string started = work.file("started");
  auto startedNow = [&] { return lines(testsupport::readFile(started)); };
  ASSERT_TRUE(testsupport::eventually([&] { return startedNow().size() == 4; }, 10000ms))
      << testsupport::readFile(started);
  // The other two wait while four run.
  std::this_thread::sleep_for(1000ms);
  std::vector<std::string> first = startedNow();
  ASSERT_EQ(first.size(), 4u);
  std::sort(first.begin(), first.end());
  EXPECT_EQ(first, (std::vector<std::string>{"EWW", "FFW", "SVR", "TOR"}));

  // Each end lets the next in line start, in the order the alerts came.
  ASSERT_TRUE(testsupport::writeFile(work.file("release.TOR"), ""));
  ASSERT_TRUE(testsupport::eventually([&] { return startedNow().size() == 5; }, 10000ms))
      << zud.err();
  EXPECT_EQ(startedNow()[4], "BZW");
  ASSERT_TRUE(testsupport::writeFile(work.file("release.SVR"), ""));
  ASSERT_TRUE(testsupport::eventually([&] { return startedNow().size() == 6; }, 10000ms))
      << zud.err();
  EXPECT_EQ(startedNow()[5], "WSW");
}

TEST_F(SourceTest, CommandThatHangsIsEndedAtItsTimeoutWithoutHoldingAlertsBack) {
  startWithFifo({"--hook-timeout", "1", "--on-alert", "echo $$ >> pids; exec sleep 1000"});
  feed("ZCZC-WXR-TOR-016001+0045-3421742-KBOI/NWS-\n");
  ASSERT_GE(waitForEvent("Tornado Warning"), 0) << zud.err();
  const std::string pids = work.file("pids");
  ASSERT_TRUE(testsupport::eventually([&] { return !testsupport::readFile(pids).empty(); },
                                      10000ms));
  // The first command sleeps; the next alert goes out all the same.
  feed("ZCZC-WXR-SVR-016001+0045-3421742-KBOI/NWS-\n");
  ASSERT_GE(waitForEvent("Severe Thunderstorm Warning"), 0) << zud.err();

  ASSERT_TRUE(testsupport::eventually(
      [&] { return testsupport::occurrences(zud.err(), "on-alert: still running after 1 s -- ended\n") == 2; },
      15000ms))
      << zud.err();
  const std::vector<std::string> started = lines(testsupport::readFile(pids));
  ASSERT_EQ(started.size(), 2u);
  for (const std::string &pid : started) {
    EXPECT_TRUE(testsupport::eventually([&] { return gone(std::stoi(pid)); }, 5000ms)) << pid;
  }
}

TEST_F(SourceTest, StoppingZudEndsItsCommandsEvenThoseThatIgnoreTerm) {
  startWithFifo({"--source-command",
                 "trap '' TERM; echo $$ > source.pid; while :; do sleep 0.2; done",
                 "--on-alert", "echo $$ > hook.pid; exec sleep 1000"});
  feed("ZCZC-WXR-TOR-016001+0045-3421742-KBOI/NWS-\n");
  ASSERT_GE(waitForEvent("Tornado Warning"), 0) << zud.err();
  ASSERT_TRUE(testsupport::eventually(
      [&] { return pidIn(work.file("source.pid")) > 0 && pidIn(work.file("hook.pid")) > 0; },
      10000ms));
  const pid_t source = pidIn(work.file("source.pid"));
  const pid_t hook = pidIn(work.file("hook.pid"));

  zud.signal(SIGTERM);
  EXPECT_EQ(Process::exitCode(zud.wait(10000ms)), 0) << zud.err();
  // Each led a process group of its own: nothing of either is left.
  EXPECT_TRUE(gone(source)) << "the source command's group outlived zud";
  EXPECT_TRUE(gone(hook)) << "the command per alert outlived zud";
}

TEST_F(SourceTest, KilledZudTakesItsSourceCommandAlong) {
  startWithFifo({"--source-command", "echo $$ > source.pid; exec sleep 1000"});
  ASSERT_TRUE(
      testsupport::eventually([&] { return pidIn(work.file("source.pid")) > 0; }, 10000ms));
  const pid_t source = pidIn(work.file("source.pid"));
  zud.signal(SIGKILL);
  zud.wait(10000ms);
  EXPECT_TRUE(testsupport::eventually([&] { return gone(source); }, 5000ms));
}

}  // namespace
