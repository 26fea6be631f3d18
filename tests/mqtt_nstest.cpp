// zud on an MQTT broker end to end, with a real mosquitto inside the test's
// private network namespace: Home Assistant's discovery, the alert and the
// states it changes, expiry, "offline" at a clean stop; alerts kept while
// the broker is away or zud was killed; a broker that never answers holds
// up nothing; credentials and TLS.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "store/alertstore.h"
#include "same/decoder.h"
#include "gatewaytest.h"
#include "mqtt.h"
#include "netns.h"

using namespace std::chrono_literals;

namespace {

using nlohmann::json;
using testsupport::GatewayTest;
using testsupport::isAlert;
using testsupport::MqttBroker;
using testsupport::MqttMessage;
using testsupport::MqttWatcher;
using testsupport::Process;

const std::string prefix = "zud/test";
const std::string discovery = "homeassistant/binary_sensor/zud_test/";

int count(const std::string &in, const std::string &text) {
  int n = 0;
  for (size_t at = in.find(text); at != std::string::npos; at = in.find(text, at + 1)) n++;
  return n;
}

json payloadOf(const MqttMessage &m) { return json::parse(m.payload, nullptr, false); }

class MqttTest : public GatewayTest {
 protected:
  std::vector<std::string> mqttArgs(const std::string &url, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"--mqtt", url, "--mqtt-topic", prefix};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }

  // The same configuration with other events.
  std::vector<std::pair<std::string, std::string>> withEvents(const std::vector<std::string> &codes) {
    auto pairs = receiverConfig("162.475");
    pairs.erase(std::remove_if(pairs.begin(), pairs.end(),
                               [](const auto &p) { return p.first == "event"; }),
                pairs.end());
    for (const std::string &code : codes) pairs.emplace_back("event", code);
    return pairs;
  }

  // A second zud in a directory of its own, not configured.
  void startPlainZud(Process &z, testsupport::TempDir &dir, std::vector<std::string> args,
                     std::vector<std::string> env = {}) {
    startZudIn(z, dir.path(), std::move(env), std::move(args));
  }

  // The owed deliveries in zud's store, read as zud-alerts would.
  long owedInStore() {
    alertstore kept;
    if (!kept.openreadonly(work.file("alerts.db"))) return -1;
    auto owed = kept.owed("mqtt");
    return owed ? static_cast<long>(owed->size()) : -1;
  }
};

TEST_F(MqttTest, DiscoveryFollowsTheEventsConfiguredAndHomeAssistantComingOnline) {
  MqttBroker broker;
  ASSERT_TRUE(broker.start()) << broker.log();
  MqttWatcher ha(broker.port(), {"homeassistant/#", prefix + "/#"});
  ASSERT_TRUE(ha.connected(5000ms));
  startConfigured({}, mqttArgs(broker.url()));

  ASSERT_GE(ha.waitFor(prefix + "/status", "online", 10000ms), 0) << zud.err();
  // Configured with TOR and SVR: their sensors.
  ASSERT_GE(ha.waitFor(discovery + "event_svr/config", 10000ms), 0) << ha.dump();
  const int tor = ha.waitFor(discovery + "event_tor/config", 1000ms);
  ASSERT_GE(tor, 0) << ha.dump();
  const MqttMessage torConfig = ha.messages()[tor];
  EXPECT_TRUE(torConfig.retained);
  const json sensor = payloadOf(torConfig);
  EXPECT_EQ(sensor["device_class"], "safety");
  EXPECT_EQ(sensor["state_topic"], prefix + "/event/TOR");
  EXPECT_EQ(sensor["name"], "Tornado Warning");
  EXPECT_EQ(sensor["availability_topic"], prefix + "/status");
  EXPECT_EQ(sensor["device"]["manufacturer"], "kelvora");
  EXPECT_EQ(sensor["device"]["model"], "zud");

  // Every entity of the device, as the broker keeps them: an id of its own
  // each, and one device block.
  std::map<std::string, json> kept;
  for (const MqttMessage &m : ha.messages()) {
    if (m.topic.rfind("homeassistant/", 0) == 0) kept[m.topic] = payloadOf(m);
  }
  std::set<std::string> ids;
  for (const auto &[topic, config] : kept) {
    ASSERT_TRUE(config.contains("unique_id")) << topic;
    EXPECT_TRUE(ids.insert(config["unique_id"].get<std::string>()).second) << topic;
    EXPECT_EQ(config["device"], sensor["device"]) << topic;
  }
  EXPECT_EQ(ids.size(), 5u) << ha.dump();  // event, active, receiver, TOR, SVR
  const int problem = ha.waitFor(discovery + "receiver/config", 1000ms);
  ASSERT_GE(problem, 0);
  EXPECT_EQ(payloadOf(ha.messages()[problem])["device_class"], "problem");
  EXPECT_GE(ha.waitFor(prefix + "/event/SVR", "OFF", 5000ms), 0);

  // SVR leaves the configuration: its entity and state are deleted, FFW's come.
  size_t mark = ha.messages().size();
  configure(withEvents({"TOR", "FFW"}));
  EXPECT_GE(ha.waitFor(discovery + "event_svr/config", "", 10000ms, mark), 0) << ha.dump();
  EXPECT_GE(ha.waitFor(prefix + "/event/SVR", "", 5000ms, mark), 0) << ha.dump();
  EXPECT_GE(ha.waitFor(discovery + "event_ffw/config", 5000ms, mark), 0) << ha.dump();

  // Home Assistant starting again hears everything anew.
  mark = ha.messages().size();
  ha.publish("homeassistant/status", "online", false);
  EXPECT_GE(ha.waitFor(discovery + "event_ffw/config", 5000ms, mark), 0) << ha.dump();
  EXPECT_GE(ha.waitFor(prefix + "/event/FFW", "OFF", 5000ms, mark), 0) << ha.dump();
  EXPECT_GE(ha.waitFor(prefix + "/active", 5000ms, mark), 0) << ha.dump();
}

TEST_F(MqttTest, AlertSetsItsStatesUntilItExpiresAndACleanStopSaysOffline) {
  MqttBroker broker;
  ASSERT_TRUE(broker.start()) << broker.log();
  MqttWatcher sub(broker.port(), {prefix + "/#"});
  ASSERT_TRUE(sub.connected(5000ms));
  // zud's clock alone: the warning issued at 10:00 for 15 minutes expires
  // some 25 seconds of its time after it starts.
  startConfigured(testsupport::fakeClockAt("2026-12-08 10:14:35"), mqttArgs(broker.url()));
  ASSERT_GE(sub.waitFor(prefix + "/event/TOR", "OFF", 10000ms), 0) << sub.dump() << zud.err();
  ASSERT_GE(sub.waitFor(prefix + "/active", 10000ms), 0);

  size_t mark = sub.messages().size();
  const std::string header = "ZCZC-WXR-TOR-016001-016027+0015-3421000-KBOI/NWS-";
  sim.writeIn(header + "\n");
  ASSERT_GE(peer->waitFor(isAlert, 10000ms), 0) << zud.err();
  const int alert = sub.waitFor(prefix + "/alert", 10000ms, mark);
  ASSERT_GE(alert, 0) << sub.dump() << zud.err();
  const MqttMessage heard = sub.messages()[alert];
  EXPECT_FALSE(heard.retained);
  const json a = payloadOf(heard);
  EXPECT_EQ(a["event_type"], "TOR");
  EXPECT_EQ(a["significance"], "warning");
  EXPECT_EQ(a["locations"], json::parse(R"([{"code":"016001","name":"Ada ID"},)"
                                        R"({"code":"016027","name":"Canyon ID"}])"));
  EXPECT_EQ(a["issued"], "2026-12-08T10:00:00Z");
  EXPECT_EQ(a["expires"], "2026-12-08T10:15:00Z");
  EXPECT_EQ(a["header"], header);
  // Its identity first, for a consumer to drop a second delivery by.
  EXPECT_EQ(heard.payload.rfind("{\"id\":", 0), 0u) << heard.payload;
  EXPECT_EQ(a["id"], "WXR-TOR-016001-016027+1796724000-KBOI/NWS");
  EXPECT_FALSE(a.contains("late"));
  EXPECT_FALSE(a.contains("sample"));

  const int on = sub.waitFor(prefix + "/event/TOR", "ON", 5000ms, mark);
  ASSERT_GE(on, 0) << sub.dump();
  EXPECT_TRUE(sub.messages()[on].retained);
  const int active = sub.waitFor(
      [](const MqttMessage &m) {
        return m.topic == prefix + "/active" && json::parse(m.payload)["count"] == 1;
      },
      5000ms, mark);
  ASSERT_GE(active, 0) << sub.dump();
  EXPECT_TRUE(sub.messages()[active].retained);
  EXPECT_EQ(payloadOf(sub.messages()[active])["alerts"][0]["header"], header);

  // A repeat is no new alert.
  sim.writeIn(header + "\n");
  ASSERT_TRUE(zud.waitOut(header, 5000ms));

  mark = sub.messages().size();
  const int expired = sub.waitFor(prefix + "/expired", 40000ms, mark);
  ASSERT_GE(expired, 0) << sub.dump() << zud.out();
  EXPECT_EQ(payloadOf(sub.messages()[expired])["header"], header);
  EXPECT_GE(sub.waitFor(prefix + "/event/TOR", "OFF", 5000ms, mark), 0) << sub.dump();
  EXPECT_GE(sub.waitFor(
                [](const MqttMessage &m) {
                  return m.topic == prefix + "/active" && json::parse(m.payload)["count"] == 0;
                },
                5000ms, mark),
            0)
      << sub.dump();
  // The other configured event was never in force.
  EXPECT_EQ(sub.waitFor(prefix + "/event/SVR", "ON", 0ms), -1);

  mark = sub.messages().size();
  zud.signal(SIGTERM);
  EXPECT_EQ(Process::exitCode(zud.wait(10000ms)), 0) << zud.err();
  const int offline = sub.waitFor(prefix + "/status", "offline", 5000ms, mark);
  ASSERT_GE(offline, 0) << sub.dump();
  EXPECT_TRUE(sub.messages()[offline].retained);
  int alerts = 0;
  for (const MqttMessage &m : sub.messages()) alerts += m.topic == prefix + "/alert";
  EXPECT_EQ(alerts, 1) << sub.dump();
}

TEST_F(MqttTest, AlertsHeardWhileTheBrokerIsAwayGoOutInOrderWhenItReturns) {
  MqttBroker broker;
  ASSERT_TRUE(broker.start()) << broker.log();
  // No store: the alerts wait in memory.
  startConfigured({}, mqttArgs(broker.url(), {"--store", "none"}));
  ASSERT_TRUE(zud.waitOut("MQTT: connected", 10000ms)) << zud.err();

  broker.stop();
  ASSERT_TRUE(zud.waitErr("was lost", 10000ms)) << zud.err();
  sim.writeIn("ZCZC-WXR-TOR-016001+0045-3421000-KBOI/NWS-\n");
  sim.writeIn("ZCZC-WXR-SVR-016001+0045-3421005-KBOI/NWS-\n");
  ASSERT_GE(peer->waitFor(isAlert, 10000ms), 0) << zud.err();
  ASSERT_GE(peer->waitFor([](const testsupport::Heard &h) {
              return isAlert(h) && h.value("event") == "Severe Thunderstorm Warning";
            }, 10000ms), 0) << zud.err();
  // After a failed attempt the next waits two seconds or more: time
  // enough for the broker and its subscriber to come first.
  ASSERT_TRUE(zud.waitErr("cannot connect", 10000ms)) << zud.err();

  ASSERT_TRUE(broker.start()) << broker.log();
  MqttWatcher sub(broker.port(), {prefix + "/alert"});
  ASSERT_TRUE(sub.connected(5000ms));
  const int second = sub.waitFor(
      [](const MqttMessage &m) { return payloadOf(m)["event_type"] == "SVR"; }, 70000ms);
  ASSERT_GE(second, 0) << sub.dump() << zud.err();
  const std::vector<MqttMessage> got = sub.messages();
  ASSERT_EQ(got.size(), 2u) << sub.dump();
  EXPECT_EQ(payloadOf(got[0])["event_type"], "TOR");
  EXPECT_FALSE(payloadOf(got[0]).contains("late"));
}

TEST_F(MqttTest, AlertNeverAcknowledgedIsPublishedAfterZudWasKilled) {
  // First without MQTT: an alert that only the history keeps.
  startConfigured();
  sim.writeIn("ZCZC-WXR-SVR-016001+0045-3421000-KBOI/NWS-\n");
  ASSERT_GE(peer->waitFor(isAlert, 10000ms), 0) << zud.err();
  zud.signal(SIGTERM);
  ASSERT_EQ(Process::exitCode(zud.wait(10000ms)), 0) << zud.err();

  // Then with a broker that is not there.
  MqttBroker broker;
  Process first;
  Process::Options o;
  o.workDir = work.path();
  o.extraEnv = {"TZ=UTC"};
  std::vector<std::string> args = mqttArgs(broker.url());
  args.insert(args.begin(), {"-interface", "lo"});
  ASSERT_TRUE(first.start(testsupport::binPath("zud"), args, o));
  ASSERT_TRUE(first.waitErr("cannot connect", 10000ms)) << first.err();
  ASSERT_TRUE(first.waitOut("main freq = 162.475", 20000ms)) << first.out();
  const size_t before = peer->heard().size();
  sim.writeIn("ZCZC-WXR-TOR-016001+0045-3421005-KBOI/NWS-\n");
  ASSERT_GE(peer->waitFor(isAlert, 10000ms, before), 0) << first.err();
  ASSERT_TRUE(testsupport::eventually([&] { return owedInStore() == 1; }, 5000ms));
  first.signal(SIGKILL);
  first.wait(5000ms);

  ASSERT_TRUE(broker.start()) << broker.log();
  MqttWatcher sub(broker.port(), {prefix + "/alert"});
  ASSERT_TRUE(sub.connected(5000ms));
  Process again;
  ASSERT_TRUE(again.start(testsupport::binPath("zud"), args, o));
  // Owed alerts go out oldest first: the first one published is the one
  // heard while MQTT was on.
  ASSERT_GE(sub.waitFor(prefix + "/alert", 10000ms), 0) << again.err();
  EXPECT_EQ(payloadOf(sub.messages()[0])["event_type"], "TOR") << sub.dump();
  EXPECT_TRUE(testsupport::eventually([&] { return owedInStore() == 0; }, 5000ms));
  EXPECT_EQ(sub.messages().size(), 1u) << sub.dump();
}

// A TCP listener in this process that never accepts; with `fill`, its
// backlog is filled first, so that a connect to it hangs unanswered.
class SilentListener {
 public:
  explicit SilentListener(bool fill) : port_(testsupport::freeTcpPort()) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port_));
    bound_ = bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
             listen(fd_, fill ? 0 : 16) == 0;
    for (int i = 0; fill && i < 4; i++) {
      const int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(c, reinterpret_cast<sockaddr *>(&address), sizeof address);
      fillers_.push_back(c);
    }
  }
  ~SilentListener() {
    for (int c : fillers_) close(c);
    close(fd_);
  }
  bool bound() const { return bound_; }
  int port() const { return port_; }

 private:
  int port_;
  int fd_ = -1;
  bool bound_ = false;
  std::vector<int> fillers_;
};

TEST_F(MqttTest, ConnectThatHangsHoldsNeitherTheLoopNorTheXplAlert) {
  SilentListener hole(true);
  ASSERT_TRUE(hole.bound());
  startConfigured({}, mqttArgs("mqtt://127.0.0.1:" + std::to_string(hole.port())));
  sim.writeIn("ZCZC-WXR-TOR-016001+0045-3421000-KBOI/NWS-\n");
  ASSERT_GE(peer->waitFor(isAlert, 10000ms), 0) << zud.err();
  // The attempt is given up by zud's own timer, and the next waits longer.
  ASSERT_TRUE(zud.waitErr("trying again in 2 s", 40000ms)) << zud.err();
  EXPECT_EQ(count(zud.err(), "zud: MQTT: cannot connect"), 2) << zud.err();
  EXPECT_NE(zud.err().find("(no answer within 10 s) -- trying again in 1 s"), std::string::npos)
      << zud.err();
}

TEST_F(MqttTest, TlsHandshakeThatIsNeverAnsweredHoldsNeitherTheLoopNorTheXplAlert) {
  SilentListener mute(false);
  ASSERT_TRUE(mute.bound());
  const auto certs = testsupport::makeCertificates(work.path(), "mute");
  ASSERT_FALSE(certs.cafile.empty());
  startConfigured({}, mqttArgs("mqtts://127.0.0.1:" + std::to_string(mute.port()),
                               {"--mqtt-cafile", certs.cafile}));
  sim.writeIn("ZCZC-WXR-TOR-016001+0045-3421000-KBOI/NWS-\n");
  ASSERT_GE(peer->waitFor(isAlert, 10000ms), 0) << zud.err();
  ASSERT_TRUE(zud.waitErr("(no answer within 10 s)", 30000ms)) << zud.err();
}

// zud's configuration file as it writes it, naming the receiver, with the
// instance `instance`: its heartbeats are known by their source alone.
std::string configuredFile(const std::string &instance, const std::string &device) {
  return "[kelvora-zud]\nreconf=newconf\nreconf=interval\noption=group[255]\n"
         "option=filter[255]\nreconf=device\nreconf=freq\nreconf=altfreq\nreconf=fips[4]\n"
         "reconf=eomreset\nreconf=usealtfreq\nreconf=event[80]\nnewconf=" + instance +
         "\ninterval=5\nfilter=\ngroup=\ndevice=" + device +
         "\nfreq=162.475\naltfreq=162.550\nfips=016001\neomreset=false\nusealtfreq=false\n"
         "event=TOR\n";
}

TEST_F(MqttTest, BrokerNameNoDnsServerAnswersForHoldsNeitherHeartbeatNorAlertNorStop) {
  testsupport::SilentNameServer dns;
  ASSERT_TRUE(dns.listening());
  // The resolver would wait minutes: a lookup on zud's loop would hold its
  // heartbeat past every wait below.
  ASSERT_TRUE(testsupport::useLoopbackNameServer(work.path(), "timeout:30 attempts:5"));
  startSim();
  ASSERT_TRUE(testsupport::writeFile(configFile(), configuredFile("dns", receiverLink())));
  startZud({}, mqttArgs("mqtt://broker.zud-test.example"));
  const std::string self = "kelvora-zud.dns";
  ASSERT_TRUE(peer->requestHeartbeats(10000ms));
  ASSERT_GE(peer->waitFor([&](const testsupport::Heard &h) { return h.source == self; }, 10000ms), 0)
      << zud.err();
  // Heartbeat and receiver came while the lookup went unanswered.
  ASSERT_TRUE(zud.waitOut("main freq = 162.475", 20000ms)) << zud.out();
  EXPECT_TRUE(dns.queried(10000ms)) << zud.err();
  const size_t from = peer->heard().size();
  sim.writeIn("ZCZC-WXR-TOR-016001+0045-3421000-KBOI/NWS-\n");
  ASSERT_GE(peer->waitFor([&](const testsupport::Heard &h) { return isAlert(h) && h.source == self; },
                          10000ms, from),
            0)
      << zud.err();
  zud.signal(SIGTERM);
  EXPECT_EQ(Process::exitCode(zud.wait(10000ms)), 0) << zud.err();
}

TEST_F(MqttTest, PasswordAndCertificateAcceptedWrongOnesReportedWithoutHarmToXpl) {
  const auto certs = testsupport::makeCertificates(work.path(), "broker");
  const auto stranger = testsupport::makeCertificates(work.path(), "stranger");
  ASSERT_FALSE(certs.cafile.empty());
  ASSERT_FALSE(stranger.cafile.empty());
  const std::string passwords = work.file("passwords");
  ASSERT_TRUE(testsupport::writeFile(passwords, ""));
  ASSERT_EQ(std::system(("mosquitto_passwd -b " + passwords + " zud s3cret").c_str()), 0);
  const std::string secret = work.file("secret");
  ASSERT_TRUE(testsupport::writeFile(secret, "s3cret\n"));
  MqttBroker broker({"cafile " + certs.cafile, "certfile " + certs.certfile,
                     "keyfile " + certs.keyfile, "password_file " + passwords,
                     "allow_anonymous false"});
  ASSERT_TRUE(broker.start()) << broker.log();
  MqttWatcher sub(broker.port(), {prefix + "/status"}, {certs.cafile, "zud", "s3cret"});
  ASSERT_TRUE(sub.connected(5000ms)) << broker.log();
  const std::string url = "mqtts://127.0.0.1:" + std::to_string(broker.port());

  testsupport::TempDir one, two, three;
  Process good, wrong, strange;
  startPlainZud(good, one,
                mqttArgs(url, {"--mqtt-cafile", certs.cafile, "--mqtt-user", "zud",
                               "--mqtt-password-file", secret}));
  ASSERT_GE(sub.waitFor(prefix + "/status", "online", 10000ms), 0) << good.err();
  good.signal(SIGTERM);
  EXPECT_EQ(Process::exitCode(good.wait(10000ms)), 0);
  EXPECT_GE(sub.waitFor(prefix + "/status", "offline", 5000ms), 0);

  startPlainZud(wrong, two, mqttArgs(url, {"--mqtt-cafile", certs.cafile, "--mqtt-user", "zud"}),
                {"ZUD_MQTT_PASSWORD=guess"});
  startPlainZud(strange, three,
                mqttArgs(url, {"--mqtt-cafile", stranger.cafile, "--mqtt-user", "zud",
                               "--mqtt-password-file", secret}));
  EXPECT_TRUE(wrong.waitErr("not authorised", 10000ms)) << wrong.err();
  EXPECT_TRUE(strange.waitErr("certificate verify failed", 10000ms)) << strange.err();
  // xPL goes on: each still decodes and broadcasts its sample alert.
  ASSERT_TRUE(peer->requestHeartbeats(10000ms));
  // A certificate its CA signed, but for another host: refused as well.
  const auto elsewhere = testsupport::makeCertificates(work.path(), "elsewhere", "DNS:elsewhere.invalid");
  ASSERT_FALSE(elsewhere.cafile.empty());
  MqttBroker misnamed({"cafile " + elsewhere.cafile, "certfile " + elsewhere.certfile,
                       "keyfile " + elsewhere.keyfile});
  ASSERT_TRUE(misnamed.start()) << misnamed.log();
  testsupport::TempDir four;
  Process mistaken;
  startPlainZud(mistaken, four,
                mqttArgs("mqtts://127.0.0.1:" + std::to_string(misnamed.port()),
                         {"--mqtt-cafile", elsewhere.cafile}));
  EXPECT_TRUE(mistaken.waitErr("certificate verify failed", 10000ms)) << mistaken.err();
  EXPECT_EQ(misnamed.log().find("New client connected"), std::string::npos) << misnamed.log();

  for (Process *z : {&wrong, &strange}) {
    const size_t from = peer->heard().size();
    z->signal(SIGUSR2);
    EXPECT_GE(peer->waitFor(isAlert, 10000ms, from), 0) << z->err();
  }
}

TEST_F(MqttTest, TlsToAClosedPortIsSaidToBeRefused) {
  Process z;
  testsupport::TempDir dir;
  startPlainZud(z, dir, mqttArgs("mqtts://127.0.0.1:" + std::to_string(testsupport::freeTcpPort())));
  EXPECT_TRUE(z.waitErr("(Connection refused) -- trying again in 1 s\n", 10000ms)) << z.err();
}

TEST_F(MqttTest, WrongMqttOptionIsOneLineAndStatusTwoBeforeAnythingStarts) {
  struct Case {
    std::vector<std::string> args;
    std::string said;
  };
  const std::vector<Case> cases = {
      {{"--mqtt", "http://127.0.0.1"}, "zud: --mqtt: 'http://127.0.0.1' is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]"},
      {{"--mqtt", "mqtt://127.0.0.1", "--mqtt-user", "zud", "--mqtt-password-file",
        work.file("absent")},
       "zud: --mqtt-password-file: cannot read " + work.file("absent") +
           " (No such file or directory)"},
      {{"--mqtt", "mqtts://127.0.0.1", "--mqtt-cafile", work.path()},
       "zud: --mqtt-cafile: cannot read " + work.path() + " (Is a directory)"},
  };
  for (const Case &c : cases) {
    Process z;
    testsupport::TempDir dir;
    startPlainZud(z, dir, c.args);
    EXPECT_EQ(Process::exitCode(z.wait(10000ms)), 2) << c.said;
    EXPECT_EQ(z.err(), c.said + "\n");
    EXPECT_EQ(z.out(), "");
  }
}

TEST_F(MqttTest, MissingClientLibraryIsOneLineAndStatusTwo) {
  // zud loads libmosquitto only for --mqtt: one that cannot be loaded (here
  // a damaged file found first) is said before anything starts.
  ASSERT_TRUE(testsupport::writeFile(work.file("libmosquitto.so.1"), "not a library"));
  Process z;
  testsupport::TempDir dir;
  startPlainZud(z, dir, {"--mqtt", "mqtt://127.0.0.1"}, {"LD_LIBRARY_PATH=" + work.path()});
  EXPECT_EQ(Process::exitCode(z.wait(10000ms)), 2);
  EXPECT_EQ(z.err().rfind("zud: --mqtt needs libmosquitto (Debian libmosquitto1): ", 0), 0u)
      << z.err();
  EXPECT_EQ(testsupport::occurrences(z.err(), "\n"), 1) << z.err();
  // Without --mqtt the library is never looked at: zud starts as ever.
  Process plain;
  testsupport::TempDir other;
  startPlainZud(plain, other, {}, {"LD_LIBRARY_PATH=" + work.path()});
  EXPECT_TRUE(plain.waitErr("usealtfreq=false\n", 10000ms)) << plain.err();
  EXPECT_TRUE(plain.running());
}

// Last: its zud is never configured, and its sample alert would reach a
// later case's peer.
TEST_F(MqttTest, WithEventUnsetHomeAssistantTakesEveryCodeAndTheSampleSaysItIsOne) {
  MqttBroker broker;
  ASSERT_TRUE(broker.start()) << broker.log();
  MqttWatcher ha(broker.port(), {"homeassistant/event/#", prefix + "/alert"});
  ASSERT_TRUE(ha.connected(5000ms));
  // Never configured: no event code is set.
  startZud({}, mqttArgs(broker.url()));
  const int config = ha.waitFor("homeassistant/event/zud_test/alert/config", 10000ms);
  ASSERT_GE(config, 0) << ha.dump() << zud.err();
  const json entity = payloadOf(ha.messages()[config]);
  std::set<std::string> types;
  for (const json &type : entity["event_types"]) {
    types.insert(type.get<std::string>());
  }
  size_t known = 0;
  for (const eventcode *entry = eventcodes; entry->ecode != nullptr; ++entry, ++known) {
    EXPECT_EQ(types.count(entry->ecode), 1u) << entry->ecode;
  }
  EXPECT_EQ(types.size(), known);

  zud.signal(SIGUSR2);
  const int alert = ha.waitFor(prefix + "/alert", 10000ms);
  ASSERT_GE(alert, 0) << ha.dump() << zud.err();
  const json sample = payloadOf(ha.messages()[alert]);
  EXPECT_EQ(types.count(sample["event_type"].get<std::string>()), 1u) << sample;
  EXPECT_EQ(sample["sample"], true) << sample;
}


}  // namespace
