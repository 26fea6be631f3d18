// The whole gateway end to end, as the integration tests drive it: the real
// zud binary beside xpl-hub and the simulated receiver zud-sim, watched and
// configured by an xPL peer inside the test process.  For *_nstest binaries
// only: each runs in a private network namespace of its own.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "process.h"
#include "xplpeer.h"

namespace testsupport {

using namespace std::chrono_literals;

inline const std::string preamble(16, '\xab');

inline bool isAlert(const Heard &h) { return h.type == "xpl-trig" && h.schema == "weather.alert"; }

// Occurrences of `text` in `in`.
inline int occurrences(const std::string &in, const std::string &text) {
  int n = 0;
  for (size_t at = in.find(text); at != std::string::npos; at = in.find(text, at + 1)) n++;
  return n;
}

// The environment that sets one program's clock with libfaketime: it starts
// at `at` ("2026-12-08 10:14:50", UTC) and runs on from there.  The
// sanitized build needs its runtime first among the libraries, which the
// preload changes; that check is switched off for this one process.
inline std::vector<std::string> fakeClockAt(const std::string &at) {
  return {std::string("LD_PRELOAD=") + ZUD_FAKETIME_LIB, "FAKETIME=@" + at,
          "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
}

// zud, the hub, the simulated receiver and a peer, each case with a scratch
// working directory of its own.
class GatewayTest : public ::testing::Test {
 protected:
  testsupport::TempDir work;
  Process hub;
  Process sim;
  Process zud;
  std::unique_ptr<testsupport::XplPeer> peer;
  std::string zudId;  // kelvora-zud.<instance>

  void SetUp() override {
    setenv("TZ", "UTC", 1);
    ASSERT_TRUE(hub.start(testsupport::binPath("xpl-hub"), {}));
    // The peer's first heartbeat must find the hub listening: the library
    // still counts the hub of an earlier case as confirmed, so it would not
    // try again for a minute, and this hub would never relay to it.
    ASSERT_TRUE(hub.waitOut("listening on UDP port", 10000ms)) << hub.err();
    peer = std::make_unique<testsupport::XplPeer>();
  }

  void TearDown() override {
    zud.signal(SIGKILL);
    peer.reset();
  }

  std::string receiverLink() const { return work.file("receiver"); }
  std::string configFile() const { return work.file("zud.xpl"); }

  void startSim(std::vector<std::string> options = {}) {
    options.insert(options.begin(), {"--link", receiverLink()});
    Process::Options o;
    o.stdinPipe = true;
    ASSERT_TRUE(sim.start(testsupport::binPath("zud-sim"), options, o));
    ASSERT_TRUE(testsupport::eventually([&] { return access(receiverLink().c_str(), F_OK) == 0; },
                                        5000ms));
  }

  void startZud(std::vector<std::string> env = {}, std::vector<std::string> args = {}) {
    startZudIn(zud, work.path(), std::move(env), std::move(args));
  }

  // Starts a zud as `z` in the working directory `dir` (a restart in the
  // same one, or a second zud beside the first), on the loopback, in UTC.
  static void startZudIn(Process &z, const std::string &dir, std::vector<std::string> env = {},
                         std::vector<std::string> args = {}) {
    Process::Options o;
    o.workDir = dir;
    o.extraEnv = std::move(env);
    o.extraEnv.push_back("TZ=UTC");
    args.insert(args.begin(), {"-interface", "lo"});
    ASSERT_TRUE(z.start(testsupport::binPath("zud"), args, o));
  }

  // Waits for zud's first heartbeat of the given schema; learns its identity.
  void awaitHeartbeat(const std::string &schema) {
    // zud announces itself at once, perhaps before the hub knew us.
    ASSERT_TRUE(peer->requestHeartbeats(10000ms)) << "no hub echo";
    int i = peer->waitFor(
        [&](const Heard &h) { return h.schema == schema && h.source.rfind("kelvora-zud.", 0) == 0; },
        15000ms);
    ASSERT_GE(i, 0) << "no " << schema << " from zud; heard " << peer->heard().size()
                    << " messages; hub:\n" << hub.out() << "zud stderr:\n" << zud.err();
    zudId = peer->heard()[i].source;
  }

  // Sends a request to zud and returns its status answer of that schema.
  Heard ask(const std::string &schema) {
    size_t from = peer->heard().size();
    EXPECT_TRUE(peer->sendCommand(zudId, schema, {{"command", "request"}}));
    int i = peer->waitFor(
        [&](const Heard &h) { return h.source == zudId && h.schema == schema && h.type == "xpl-stat"; },
        5000ms, from);
    EXPECT_GE(i, 0) << "no " << schema << " answer";
    return i >= 0 ? peer->heard()[i] : Heard();
  }

  void configure(const std::vector<std::pair<std::string, std::string>> &pairs) {
    ASSERT_TRUE(peer->sendCommand(zudId, "config.response", pairs));
  }

  // A full configuration naming the simulated receiver.
  std::vector<std::pair<std::string, std::string>> receiverConfig(const std::string &freq) {
    return {{"newconf", zudId.substr(zudId.find('.') + 1)},
            {"interval", "10"},
            {"device", receiverLink()},
            {"freq", freq},
            {"altfreq", "162.550"},
            {"fips", "016001"},
            {"fips", "041045"},
            {"eomreset", "true"},
            {"usealtfreq", "false"},
            {"event", "TOR"},
            {"event", "SVR"}};
  }

  // Starts everything and configures zud onto the receiver; waits until the
  // block has been read and mapped.
  void startConfigured(std::vector<std::string> env = {}, std::vector<std::string> args = {}) {
    startSim();
    startZud(std::move(env), std::move(args));
    awaitHeartbeat("config.app");
    configure(receiverConfig("162.475"));
    ASSERT_TRUE(sim.waitOut("recv d", 20000ms)) << zud.err();
    ASSERT_TRUE(zud.waitOut("main freq = 162.475", 20000ms)) << zud.out();
  }

  // Configures zud with the frequency `freq` and waits for the receiver to
  // take the uploaded block.
  void expectUploadOf(const std::string &freq) {
    awaitHeartbeat("config.app");
    configure(receiverConfig(freq));
    ASSERT_TRUE(sim.waitOut("recv block 512", 30000ms)) << zud.err();
    ASSERT_TRUE(sim.waitOut("sent ack *", 10000ms));
    EXPECT_NE(sim.out().find(freq), std::string::npos) << sim.out();
  }

  int alertsHeard() const {
    int n = 0;
    for (const auto &h : peer->heard()) n += isAlert(h);
    return n;
  }

  // zud's heartbeats of schema hbeat.app heard after the first `from` messages.
  int heartbeatsHeard(size_t from) const {
    int n = 0;
    for (size_t i = from; i < peer->heard().size(); i++) {
      const Heard &h = peer->heard()[i];
      n += h.source == zudId && h.schema == "hbeat.app";
    }
    return n;
  }

  // Runs the peer's loop while one datagram every 300 ms reaches zud, so that
  // zud's loop never sees a quiet second, until `done` holds; false when
  // `timeout` passed first.
  bool underTraffic(std::chrono::milliseconds timeout, const std::function<bool()> &done) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    auto nextSend = std::chrono::steady_clock::now();
    while (!done()) {
      auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return false;
      if (now >= nextSend) {
        EXPECT_TRUE(peer->sendCommand(zudId, "control.basic", {{"device", "noise"}}));
        nextSend += 300ms;
      }
      peer->pump(20);
    }
    return true;
  }
};

}  // namespace testsupport
