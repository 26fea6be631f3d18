// The README's main job, run the way a test can: scripts/demo --once starts
// the hub, the simulated receiver, zud and the logger in a private network
// namespace of its own, configures zud and must show the decoded alert.
#include <gtest/gtest.h>

#include "process.h"

using namespace std::chrono_literals;

TEST(Demo, ShowsTheDecodedAlertAndStops) {
  testsupport::Process demo;
  testsupport::Process::Options options;
  options.extraEnv = {std::string("ZUD_DEMO_BIN=") + ZUD_BIN_DIR};
  ASSERT_TRUE(demo.start("/bin/sh", {std::string(ZUD_SOURCE_DIR) + "/scripts/demo", "--once"},
                         options));
  int status = demo.wait(120000ms);
  std::string out = demo.out();
  ASSERT_EQ(testsupport::Process::exitCode(status), 0) << out << demo.err();
  EXPECT_NE(out.find("weather.alert"), std::string::npos) << out;
  EXPECT_NE(out.find("event=Tornado Warning"), std::string::npos) << out;
  EXPECT_NE(out.find("location=Ada ID"), std::string::npos) << out;
  EXPECT_NE(out.find("location=Canyon ID"), std::string::npos) << out;
  EXPECT_NE(out.find("source=KBOI/NWS"), std::string::npos) << out;
}

TEST(Demo, WithMqttShowsTheAlertOnTheBrokerTooAndStops) {
  testsupport::Process demo;
  testsupport::Process::Options options;
  options.extraEnv = {std::string("ZUD_DEMO_BIN=") + ZUD_BIN_DIR};
  ASSERT_TRUE(demo.start("/bin/sh",
                         {std::string(ZUD_SOURCE_DIR) + "/scripts/demo", "--mqtt", "--once"},
                         options));
  int status = demo.wait(120000ms);
  std::string out = demo.out();
  ASSERT_EQ(testsupport::Process::exitCode(status), 0) << out << demo.err();
  EXPECT_NE(out.find("event=Tornado Warning"), std::string::npos) << out;
  EXPECT_NE(out.find("mqtt: zud/demo/alert {\"event_type\":\"TOR\""), std::string::npos) << out;
  EXPECT_NE(out.find("mqtt: zud/demo/event/TOR ON"), std::string::npos) << out;
}

// scripts/demo --sdr --once: no receiver; the demo plays the sound of the
// header into the FIFO that multimon-ng, zud's line source, reads.
TEST(Demo, ThroughASoftwareDefinedRadioShowsTheDecodedAlertAndStops) {
  testsupport::Process demo;
  testsupport::Process::Options options;
  options.extraEnv = {std::string("ZUD_DEMO_BIN=") + ZUD_BIN_DIR};
  ASSERT_TRUE(demo.start("/bin/sh",
                         {std::string(ZUD_SOURCE_DIR) + "/scripts/demo", "--sdr", "--once"},
                         options));
  int status = demo.wait(120000ms);
  std::string out = demo.out();
  ASSERT_EQ(testsupport::Process::exitCode(status), 0) << out << demo.err();
  EXPECT_NE(out.find("multimon-ng decodes it"), std::string::npos) << out;
  EXPECT_NE(out.find("event=Tornado Warning"), std::string::npos) << out;
  EXPECT_NE(out.find("location=Canyon ID"), std::string::npos) << out;
}
