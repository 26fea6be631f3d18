// The xPL tools and the library's service behaviour on real sockets: the hub
// (learning, echo, relay, goodbye and expiry), the logger and the sender end
// to end through the hub, and a service's heartbeat timing, heartbeat
// requests, goodbye and inbound draining against the hub.  Everything runs in
// a private network namespace on the loopback interface (or a veth pair).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "netns.h"
#include "process.h"
#include "xPL_priv.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::binPath;
using testsupport::eventually;
using testsupport::Process;

constexpr int kXplPort = 3865;
const char kLoopbackBroadcast[] = "127.255.255.255";

// A UDP socket that closes with the object.
class UdpSocket {
 public:
  UdpSocket() : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  }
  ~UdpSocket() {
    if (fd_ >= 0) close(fd_);
  }
  UdpSocket(const UdpSocket &) = delete;
  UdpSocket &operator=(const UdpSocket &) = delete;

  // Binds to `port` on every address (0: the system picks); shares the port
  // with the hub when `shared`.
  bool bindTo(int port, bool shared = false) {
    int one = 1;
    if (shared) setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    return bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  }
  int port() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
  }
  bool sendTo(const std::string &ip, int port, const std::string &text) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
    return sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&address),
                  sizeof address) == static_cast<ssize_t>(text.size());
  }
  // The next datagram within `timeout`, or empty.
  std::string receive(std::chrono::milliseconds timeout) {
    pollfd entry{fd_, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return "";
    char buffer[4096];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  }
  // Waits up to `timeout` for a datagram holding `text`; earlier ones are dropped.
  bool receiveHolding(const std::string &text, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (receive(left).find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  int fd_;
};

// The xPL text of a status heartbeat announcing a listener.
std::string heartbeatText(const std::string &schema, const std::string &source, int port,
                          const std::string &ip, int intervalMinutes) {
  return "xpl-stat\n{\nhop=1\nsource=" + source + "\ntarget=*\n}\n" + schema +
         "\n{\ninterval=" + std::to_string(intervalMinutes) + "\nport=" + std::to_string(port) +
         "\nremote-ip=" + ip + "\n}\n";
}

std::string triggerText(const std::string &source, const std::string &schema,
                        const std::string &body) {
  return "xpl-trig\n{\nhop=1\nsource=" + source + "\ntarget=*\n}\n" + schema + "\n{\n" + body +
         "}\n";
}

bool startHub(Process &hub, std::vector<std::string> args = {}) {
  return hub.start(binPath("xpl-hub"), args) && hub.waitOut("listening on UDP port 3865", 5s);
}

// Runs `program` to its end; its exit status, or -1 when it did not end.
int runTool(Process &tool, const std::string &program, const std::vector<std::string> &args) {
  if (!tool.start(binPath(program), args)) return -1;
  return Process::exitCode(tool.wait(10s));
}

// Number of times `text` occurs in `all`.
size_t occurrences(const std::string &all, const std::string &text) {
  size_t count = 0;
  for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) count++;
  return count;
}

// Runs the library's event loop in short calls until `done` holds or
// `timeout` passes.
bool runLoopUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    xPL_processMessages(50);
  }
  return true;
}

void runLoopFor(std::chrono::milliseconds time) {
  runLoopUntil([] { return false; }, time);
}

// The library started on the loopback interface in hub mode, with one
// service of our own; each case starts from an unconfirmed hub.
class ServiceOnLoopback : public ::testing::Test {
 protected:
  void SetUp() override {
    xPL_setHubConfirmed(FALSE);
    xPL_setBroadcastInterface("lo");
    ASSERT_TRUE(xPL_initialize(xcViaHub));
  }
  void TearDown() override {
    if (service_ != nullptr) xPL_releaseService(service_);
    xPL_shutdown();
  }
  xPL_ServicePtr createService(const char *instance) {
    service_ = xPL_createService("kelvora", "test", instance);
    return service_;
  }
  // How the hub names our listener when it learns it.
  std::string clientText(const char *instance) const {
    return "127.0.0.1:" + std::to_string(xPL_getPort()) + " kelvora-test." + instance;
  }

  xPL_ServicePtr service_ = nullptr;
};

// --- Heartbeats of a service against the hub ---------------------------------

TEST_F(ServiceOnLoopback, HeartbeatsEveryThreeSecondsUntilTheHubEchoesThenKeepsItsInterval) {
  UdpSocket network;  // hears the broadcasts as the hub would
  ASSERT_TRUE(network.bindTo(kXplPort, true));
  ASSERT_NE(createService("hb"), nullptr);
  const std::string ownHeartbeat = "source=kelvora-test.hb\ntarget=*\n}\nhbeat.app\n";

  // No hub yet: the first heartbeat at once, then one about every 3 s.
  std::vector<Clock::time_point> heard;
  auto collect = [&] {
    for (std::string d = network.receive(0ms); !d.empty(); d = network.receive(0ms)) {
      if (d.find(ownHeartbeat) != std::string::npos) heard.push_back(Clock::now());
    }
    return false;
  };
  xPL_setServiceEnabled(service_, TRUE);
  auto start = Clock::now();
  runLoopUntil([&] { return collect() || Clock::now() - start > 4500ms; }, 6s);
  ASSERT_GE(heard.size(), 2u);
  for (size_t i = 1; i < heard.size(); i++) EXPECT_GE(heard[i] - heard[i - 1], 2s);
  EXPECT_FALSE(xPL_isHubConfirmed());

  // The hub's echo of the next heartbeat confirms it.
  Process hub;
  ASSERT_TRUE(startHub(hub));
  ASSERT_TRUE(runLoopUntil([] { return xPL_isHubConfirmed() == TRUE; }, 8s));
  ASSERT_TRUE(hub.waitOut("client joined: " + clientText("hb") + " (interval 5 min)", 2s));

  // From then on the 5-minute interval holds: nothing more for several seconds.
  collect();
  heard.clear();
  runLoopFor(6s);
  collect();
  EXPECT_TRUE(heard.empty()) << heard.size() << " heartbeats after the hub was confirmed";
}

Clock::time_point requestArrivedAt;
void noteRequest(xPL_MessagePtr message, xPL_ObjectPtr) {
  const char *schemaClass = xPL_getSchemaClass(message);
  if (schemaClass != nullptr && std::string(schemaClass) == "hbeat" &&
      xPL_getMessageType(message) == xPL_MESSAGE_COMMAND)
    requestArrivedAt = Clock::now();
}

TEST_F(ServiceOnLoopback, BroadcastHeartbeatRequestIsAnsweredAfterHalfToTwoAndAHalfSeconds) {
  Process hub;
  ASSERT_TRUE(startHub(hub));
  UdpSocket network;
  ASSERT_TRUE(network.bindTo(kXplPort, true));
  ASSERT_NE(createService("req"), nullptr);
  xPL_setServiceEnabled(service_, TRUE);
  ASSERT_TRUE(runLoopUntil([] { return xPL_isHubConfirmed() == TRUE; }, 5s));
  while (!network.receive(0ms).empty()) {
  }

  xPL_addMessageListener(noteRequest, nullptr);  // newest: hears it before the services
  Process send;
  ASSERT_EQ(runTool(send, "xpl-send",
                    {"-interface", "lo", "cmnd", "*", "hbeat.request", "command=request"}),
            0)
      << send.err();
  // The request, then our answer, go over the network.
  bool requestSeen = false;
  bool answered = false;
  ASSERT_TRUE(runLoopUntil(
      [&] {
        for (std::string d = network.receive(0ms); !d.empty(); d = network.receive(0ms)) {
          if (d.find("\nhbeat.request\n") != std::string::npos) requestSeen = true;
          if (requestSeen && d.find("source=kelvora-test.req\ntarget=*\n}\nhbeat.app\n") !=
                                 std::string::npos)
            answered = true;
        }
        return answered;
      },
      5s));
  auto answeredAt = Clock::now();
  xPL_removeMessageListener(noteRequest);
  EXPECT_GE(answeredAt - requestArrivedAt, 500ms);
}

TEST_F(ServiceOnLoopback, DisablingSaysGoodbyeAndTheHubSeesTheClientLeave) {
  Process hub;
  ASSERT_TRUE(startHub(hub));
  UdpSocket network;
  ASSERT_TRUE(network.bindTo(kXplPort, true));
  ASSERT_NE(createService("bye"), nullptr);
  xPL_setServiceEnabled(service_, TRUE);
  ASSERT_TRUE(runLoopUntil([] { return xPL_isHubConfirmed() == TRUE; }, 5s));
  ASSERT_TRUE(hub.waitOut("client joined: " + clientText("bye"), 2s));

  xPL_setServiceEnabled(service_, FALSE);
  EXPECT_TRUE(network.receiveHolding("source=kelvora-test.bye\ntarget=*\n}\nhbeat.end\n", 2s));
  EXPECT_TRUE(hub.waitOut("client left: " + clientText("bye") + " (goodbye)", 3s)) << hub.out();
}

// --- Draining what the hub relays ---------------------------------------------

int floodRaw = 0;
int floodParsed = 0;
void countFloodRaw(String data, int, xPL_ObjectPtr) {
  if (std::string(data).find("\ntest.flood\n") != std::string::npos) floodRaw++;
}
void countFloodMessage(xPL_MessagePtr message, xPL_ObjectPtr) {
  const char *schemaClass = xPL_getSchemaClass(message);
  if (schemaClass != nullptr && std::string(schemaClass) == "test") floodParsed++;
}

TEST_F(ServiceOnLoopback, FloodRelayedThroughTheHubIsDrainedCompletely) {
  Process hub;
  ASSERT_TRUE(startHub(hub, {"--verbose"}));
  ASSERT_NE(createService("flood"), nullptr);
  xPL_setServiceEnabled(service_, TRUE);
  ASSERT_TRUE(runLoopUntil([] { return xPL_isHubConfirmed() == TRUE; }, 5s));
  xPL_addRawListener(countFloodRaw, nullptr);
  xPL_addMessageListener(countFloodMessage, nullptr);

  // The flood piles up in our listener socket while we are not looking; the
  // batches only keep the hub's own socket from overflowing.
  UdpSocket sender;
  const int batches = 6, perBatch = 50, flood = batches * perBatch;
  const size_t relayedBefore = occurrences(hub.out(), " relayed ");
  for (int b = 0; b < batches; b++) {
    for (int i = 0; i < perBatch; i++) {
      std::string body = "n=" + std::to_string(b * perBatch + i) + "\na=1\nb=2\nc=3\nd=4\n";
      ASSERT_TRUE(sender.sendTo("127.0.0.1", kXplPort,
                                triggerText("kelvora-blast.one", "test.flood", body)));
    }
    size_t expected = relayedBefore + static_cast<size_t>((b + 1) * perBatch);
    ASSERT_TRUE(eventually([&] { return occurrences(hub.out(), " relayed ") >= expected; }, 5s))
        << "the hub relayed " << occurrences(hub.out(), " relayed ") - relayedBefore;
  }
  EXPECT_EQ(occurrences(hub.out(), "to 1 client: kelvora-blast.one test.flood"),
            static_cast<size_t>(flood));

  xPL_processMessages(0);
  EXPECT_EQ(floodRaw, flood);
  EXPECT_EQ(floodParsed, flood);
  xPL_removeRawListener(countFloodRaw);
  xPL_removeMessageListener(countFloodMessage);
}

// --- The hub on its own ---------------------------------------------------------

TEST(Hub, LearnsLocalListenersFromHeartbeatsEchoesAndRelaysToThem) {
  Process hub;
  ASSERT_TRUE(startHub(hub));
  UdpSocket client, stranger, other;
  ASSERT_TRUE(client.bindTo(0));
  ASSERT_TRUE(stranger.bindTo(0));
  ASSERT_TRUE(other.bindTo(0));

  // The very first heartbeat comes back: that is how a client knows the hub.
  std::string hello = heartbeatText("hbeat.app", "acme-probe.one", client.port(), "127.0.0.1", 5);
  ASSERT_TRUE(other.sendTo("127.0.0.1", kXplPort, hello));
  EXPECT_EQ(client.receive(3s), hello);
  EXPECT_TRUE(hub.waitOut("client joined: 127.0.0.1:" + std::to_string(client.port()) +
                              " acme-probe.one (interval 5 min)",
                          2s));

  // Listeners on addresses that are not this host's, and on the xPL port
  // itself, are not clients.
  ASSERT_TRUE(
      other.sendTo("127.0.0.1", kXplPort,
                   heartbeatText("hbeat.app", "acme-probe.far", stranger.port(), "10.99.0.1", 5)));
  ASSERT_TRUE(
      other.sendTo("127.0.0.1", kXplPort,
                   heartbeatText("hbeat.app", "acme-probe.loop", kXplPort, "127.0.0.1", 5)));

  // Anything at all is relayed, in order, to every client.
  ASSERT_TRUE(other.sendTo("127.0.0.1", kXplPort, "not xPL at all"));
  EXPECT_TRUE(client.receiveHolding("acme-probe.far", 2s));
  EXPECT_TRUE(client.receiveHolding("acme-probe.loop", 2s));
  EXPECT_EQ(client.receive(2s), "not xPL at all");
  // The hub relays in one pass, so the stranger would have had its copy by now.
  EXPECT_EQ(stranger.receive(100ms), "");
  EXPECT_EQ(occurrences(hub.out(), "client joined"), 1u) << hub.out();
}

TEST(Hub, AddressesOfOtherLocalInterfacesCountAsLocal) {
  ASSERT_TRUE(testsupport::addVethPair("hv0", "hv1", "10.7.0.1/24"));
  Process hub;
  ASSERT_TRUE(startHub(hub));
  UdpSocket client, sender;
  ASSERT_TRUE(client.bindTo(0));
  std::string hello = heartbeatText("config.app", "acme-probe.veth", client.port(), "10.7.0.1", 1);
  ASSERT_TRUE(sender.sendTo("10.7.0.1", kXplPort, hello));
  EXPECT_EQ(client.receive(3s), hello);
  EXPECT_TRUE(hub.waitOut("client joined: 10.7.0.1:" + std::to_string(client.port()), 2s));
  testsupport::removeVethPair("hv0");
}

TEST(Hub, ForgetsClientsThatSayGoodbyeOrStaySilentPastTwiceTheirIntervalAndAMinute) {
  // One "minute" of interval lasts 200 ms here, so that expiry takes seconds.
  Process hub;
  ASSERT_TRUE(startHub(hub, {"--minute-ms", "200"}));
  UdpSocket leaving, silent, lively, sender;
  for (UdpSocket *s : {&leaving, &silent, &lively}) ASSERT_TRUE(s->bindTo(0));
  auto at = [](UdpSocket &s) { return "127.0.0.1:" + std::to_string(s.port()); };

  ASSERT_TRUE(
      sender.sendTo("127.0.0.1", kXplPort,
                    heartbeatText("hbeat.app", "acme-a.x", leaving.port(), "127.0.0.1", 5)));
  // Taken before the hub hears it: the hub's count of silence never runs ahead.
  auto silentSince = Clock::now();
  ASSERT_TRUE(
      sender.sendTo("127.0.0.1", kXplPort,
                    heartbeatText("config.app", "acme-b.x", silent.port(), "127.0.0.1", 2)));
  ASSERT_TRUE(hub.waitOut("client joined: " + at(silent), 2s));

  // Goodbye: forgotten at once (after the goodbye itself was relayed).
  ASSERT_TRUE(
      sender.sendTo("127.0.0.1", kXplPort,
                    heartbeatText("hbeat.end", "acme-a.x", leaving.port(), "127.0.0.1", 5)));
  EXPECT_TRUE(hub.waitOut("client left: " + at(leaving) + " acme-a.x (goodbye)", 2s));
  EXPECT_TRUE(leaving.receiveHolding("hbeat.end", 2s));

  // A client that keeps talking (interval 1: allowed three "minutes") stays
  // while the silent one (interval 2: five "minutes") goes.
  std::string alive = heartbeatText("hbeat.app", "acme-c.x", lively.port(), "127.0.0.1", 1);
  std::string early;  // the hub's report shortly before the silent one is due
  while (Clock::now() - silentSince < 1400ms) {
    ASSERT_TRUE(sender.sendTo("127.0.0.1", kXplPort, alive));
    std::this_thread::sleep_for(100ms);
    if (early.empty() && Clock::now() - silentSince >= 800ms) {
      early = hub.out();
      if (Clock::now() - silentSince >= 950ms) early = "(machine too slow to look in time)";
    }
  }
  EXPECT_EQ(early.find("client left: " + at(silent)), std::string::npos) << early;
  ASSERT_TRUE(sender.sendTo("127.0.0.1", kXplPort, alive + "marker"));
  EXPECT_TRUE(hub.waitOut("client left: " + at(silent) + " acme-b.x (silent)", 3s));
  // Gone means no more relays.
  EXPECT_TRUE(lively.receiveHolding("marker", 2s));
  EXPECT_FALSE(silent.receiveHolding("marker", 100ms));

  // Once it stops talking, the lively one goes too, and only after the other.
  EXPECT_TRUE(hub.waitOut("client left: " + at(lively) + " acme-c.x (silent)", 3s));
  std::string out = hub.out();
  EXPECT_LT(out.find("client left: " + at(silent)), out.find("client left: " + at(lively)));
}

TEST(Hub, EndsWithStatusZeroOnTermination) {
  for (int sig : {SIGINT, SIGTERM}) {
    Process hub;
    ASSERT_TRUE(startHub(hub));
    hub.signal(sig);
    EXPECT_EQ(Process::exitCode(hub.wait(5s)), 0) << "signal " << sig;
  }
}

// --- Sender and logger through the hub --------------------------------------------

// A hub with a logger that it has learnt.
class ThroughHub : public ::testing::Test {
 protected:
  void startLogger(std::vector<std::string> args) {
    ASSERT_TRUE(startHub(hub_));
    args.insert(args.begin(), {"-interface", "lo"});
    ASSERT_TRUE(logger_.start(binPath("xpl-logger"), args));
    ASSERT_TRUE(hub_.waitOut(" kelvora-logger.", 5s)) << logger_.err();
  }
  void send(const std::vector<std::string> &args) {
    Process tool;
    std::vector<std::string> all = {"-interface", "lo"};
    all.insert(all.end(), args.begin(), args.end());
    ASSERT_EQ(runTool(tool, "xpl-send", all), 0) << tool.err();
  }

  Process hub_;
  Process logger_;
};

TEST_F(ThroughHub, SentMessageReachesTheLoggerWithItsValuesInOrder) {
  startLogger({"--count", "1", "--schema", "weather.alert"});
  send({"--instance", "cli", "trig", "*", "weather.alert", "event=Tornado Warning",
        "location=Ada ID", "location=Adams ID", "note=a=b"});
  ASSERT_EQ(Process::exitCode(logger_.wait(10s)), 0) << logger_.err();
  std::string out = logger_.out();
  EXPECT_NE(out.find(" xpl-trig kelvora-send.cli -> * weather.alert\n"
                     "    event=Tornado Warning\n"
                     "    location=Ada ID\n"
                     "    location=Adams ID\n"
                     "    note=a=b\n"),
            std::string::npos)
      << out;
  // Leaving said goodbye to the hub.
  EXPECT_TRUE(hub_.waitOut("client left: ", 3s));
}

TEST_F(ThroughHub, RawLoggerPrintsTheDatagramAsItArrived) {
  startLogger({"--raw", "--count", "1", "--source", "kelvora-send"});
  send({"--instance", "raw", "trig", "*", "weather.alert", "event=Tornado Warning",
        "location=Ada ID", "location=Adams ID"});
  ASSERT_EQ(Process::exitCode(logger_.wait(10s)), 0) << logger_.err();
  EXPECT_EQ(logger_.out(),
            "xpl-trig\n{\nhop=1\nsource=kelvora-send.raw\ntarget=*\n}\nweather.alert\n{\n"
            "event=Tornado Warning\nlocation=Ada ID\nlocation=Adams ID\n}\n");
}

TEST_F(ThroughHub, LoggerFiltersBySourceAndSchemaAndShowsTargets) {
  startLogger({"--count", "2", "--source", "kelvora-send.two", "--schema", "control"});
  send({"--instance", "one", "cmnd", "acme-lamp.hall", "control.basic", "current=on"});
  send({"--instance", "two", "stat", "*", "sensor.basic", "current=12"});
  send({"--instance", "two", "cmnd", "XPL-GROUP.hall", "control.basic", "current=off"});
  send({"--instance", "two", "cmnd", "acme-lamp.hall", "CONTROL.basic"});
  ASSERT_EQ(Process::exitCode(logger_.wait(10s)), 0) << logger_.err();
  std::string out = logger_.out();
  EXPECT_EQ(out.find("kelvora-send.one"), std::string::npos) << out;
  EXPECT_EQ(out.find("sensor.basic"), std::string::npos) << out;
  EXPECT_NE(out.find(" xpl-cmnd kelvora-send.two -> XPL-GROUP.hall control.basic\n"
                     "    current=off\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(" xpl-cmnd kelvora-send.two -> acme-lamp.hall CONTROL.basic\n"),
            std::string::npos)
      << out;
}

TEST_F(ThroughHub, LoggerSaysGoodbyeAndEndsWithStatusZeroOnTermination) {
  startLogger({});
  logger_.signal(SIGTERM);
  EXPECT_EQ(Process::exitCode(logger_.wait(5s)), 0) << logger_.err();
  EXPECT_TRUE(hub_.waitOut("(goodbye)", 3s)) << hub_.out();
}

// --- Usage and failures -----------------------------------------------------------

TEST(ToolUsage, HelpExitsZeroAndBadUsageExitsTwoWithAHint) {
  for (const char *tool : {"xpl-hub", "xpl-logger", "xpl-send"}) {
    Process help;
    EXPECT_EQ(runTool(help, tool, {"--help"}), 0) << tool;
    EXPECT_NE(help.out().find("usage: "), std::string::npos) << tool;
  }
  const std::vector<std::pair<std::string, std::vector<std::string>>> bad = {
      {"xpl-hub", {"--bogus"}},
      {"xpl-hub", {"--minute-ms", "0"}},
      {"xpl-logger", {"--count", "0"}},
      {"xpl-logger", {"--count"}},
      {"xpl-logger", {"--source", "nodash"}},
      {"xpl-logger", {"--schema", ".x"}},
      {"xpl-logger", {"-interface"}},
      {"xpl-send", {}},
      {"xpl-send", {"trig", "*"}},
      {"xpl-send", {"info", "*", "a.b"}},
      {"xpl-send", {"trig", "vendor-device", "a.b"}},
      {"xpl-send", {"trig", "XPL-GROUP.", "a.b"}},
      {"xpl-send", {"trig", "*", "ab"}},
      {"xpl-send", {"trig", "*", "a.b", "novalue"}},
      {"xpl-send", {"trig", "*", "a.b", "=x"}},
      {"xpl-send", {"trig", "*", "a.b", "x=line\nbreak"}},
      {"xpl-send", {"--bogus", "trig", "*", "a.b"}},
      {"xpl-send", {"trig", "*", "a.b", "-interface"}},
  };
  for (const auto &[tool, args] : bad) {
    Process run;
    std::string shown = tool;
    for (const auto &a : args) shown += " '" + a + "'";
    EXPECT_EQ(runTool(run, tool, args), 2) << shown;
    EXPECT_NE(run.err().find("Try '" + tool + " --help'"), std::string::npos) << shown;
    EXPECT_EQ(run.out(), "") << shown;
  }
}

TEST(ToolUsage, SendReportsALibraryThatCannotStartOrAMessageTooLong) {
  Process noInterface;
  EXPECT_EQ(runTool(noInterface, "xpl-send", {"-interface", "nosuch0", "trig", "*", "a.b"}), 1);
  EXPECT_NE(noInterface.err().find("xpl-send: cannot start the xPL library"), std::string::npos)
      << noInterface.err();

  Process tooLong;
  EXPECT_EQ(runTool(tooLong, "xpl-send",
                    {"-interface", "lo", "trig", "*", "a.b", "v=" + std::string(1500, 'x')}),
            1);
  EXPECT_NE(tooLong.err().find("would exceed 1499 characters"), std::string::npos) << tooLong.err();
}

TEST(ToolUsage, LoggerReportsALibraryThatCannotStart) {
  Process logger;
  EXPECT_EQ(runTool(logger, "xpl-logger", {"-interface", "nosuch0"}), 1);
  EXPECT_NE(logger.err().find("xpl-logger: cannot start the xPL library"), std::string::npos)
      << logger.err();
}

TEST(ToolUsage, HubReportsAPortItCannotHave) {
  UdpSocket holder;
  ASSERT_TRUE(holder.bindTo(kXplPort));  // no sharing
  Process hub;
  EXPECT_EQ(runTool(hub, "xpl-hub", {}), 1);
  EXPECT_NE(hub.err().find("cannot bind UDP port 3865"), std::string::npos) << hub.err();
}

}  // namespace
