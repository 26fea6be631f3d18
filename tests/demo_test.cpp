// The README's main job, run the way a test can: scripts/demo --once starts
// the hub, the simulated receiver, zud and the logger in a private network
// namespace of its own, configures zud and must show the decoded alert.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process.h"

using namespace std::chrono_literals;

namespace {

// What `scripts/demo --once` with `options` printed; it must have ended well.
std::string demoOnce(std::vector<std::string> options) {
  testsupport::Process demo;
  testsupport::Process::Options o;
  o.extraEnv = {std::string("ZUD_DEMO_BIN=") + ZUD_BIN_DIR};
  options.insert(options.begin(), std::string(ZUD_SOURCE_DIR) + "/scripts/demo");
  options.push_back("--once");
  EXPECT_TRUE(demo.start("/bin/sh", options, o));
  const int status = demo.wait(120000ms);
  const std::string out = demo.out();
  EXPECT_EQ(testsupport::Process::exitCode(status), 0) << out << demo.err();
  return out;
}

TEST(Demo, ShowsTheDecodedAlertAndStops) {
  const std::string out = demoOnce({});
  EXPECT_NE(out.find("weather.alert"), std::string::npos) << out;
  EXPECT_NE(out.find("event=Tornado Warning"), std::string::npos) << out;
  EXPECT_NE(out.find("location=Ada ID"), std::string::npos) << out;
  EXPECT_NE(out.find("location=Canyon ID"), std::string::npos) << out;
  EXPECT_NE(out.find("source=KBOI/NWS"), std::string::npos) << out;
}

TEST(Demo, WithMqttShowsTheAlertOnTheBrokerTooAndStops) {
  const std::string out = demoOnce({"--mqtt"});
  EXPECT_NE(out.find("event=Tornado Warning"), std::string::npos) << out;
  EXPECT_NE(out.find("mqtt: zud/demo/alert {\"id\":\"WXR-TOR-"), std::string::npos) << out;
  EXPECT_NE(out.find("mqtt: zud/demo/event/TOR ON"), std::string::npos) << out;
}

// scripts/demo --sdr --once: no receiver; the demo plays the sound of the
// header into the FIFO that zud reads as sound and hears itself.
TEST(Demo, ThroughASoftwareDefinedRadioShowsTheDecodedAlertAndStops) {
  const std::string out = demoOnce({"--sdr"});
  EXPECT_NE(out.find("zud's own demodulator hears it"), std::string::npos) << out;
  EXPECT_NE(out.find("event=Tornado Warning"), std::string::npos) << out;
  EXPECT_NE(out.find("location=Canyon ID"), std::string::npos) << out;
}

}  // namespace
