// A source of sound end to end: the sound a radio gives (generated, with the
// header's three bursts, the attention tone, a voice and the end of
// message) read by zud's own demodulator through --audio-command, out as
// the xPL trigger and on a real mosquitto, and the spoken message kept as a
// file that the store, MQTT and --on-audio all name.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "gatewaytest.h"
#include "mqtt.h"
#include "process.h"
#include "sameaudio.h"
#include "store/alertstore.h"
#include "store/soundfile.h"

using namespace std::chrono_literals;

namespace {

using nlohmann::json;
using testsupport::GatewayTest;
using testsupport::isAlert;
using testsupport::MqttBroker;
using testsupport::MqttWatcher;

TEST_F(GatewayTest, SoundFromACommandBecomesTheAlertAndItsSpokenMessageIsKept) {
  MqttBroker broker;
  ASSERT_TRUE(broker.start()) << broker.log();
  MqttWatcher watcher(broker.port(), {"zud/sound/#"});
  ASSERT_TRUE(watcher.connected(5000ms));

  // Four seconds of attention tone and six of voice between the bursts and
  // the end of message, with the pauses around them: the message kept is
  // those ten seconds and the pauses, not the bursts.
  const std::string header = "ZCZC-WXR-TOR-016001-016027+0045-0011742-KBOI/NWS-";
  testsupport::sameAudio sound;
  sound.silence(1);
  sound.message(header, 4, 6, 7);
  sound.silence(2);
  ASSERT_TRUE(testsupport::writeFile(work.file("radio.raw"),
                                     testsupport::rawBytes(sound.samples())));
  // The sound comes only once zud is on the network, as a radio's would.
  startZud({}, {"--audio-command", "while [ ! -e go ]; do sleep 0.1; done; cat radio.raw",
                "--mqtt", broker.url(), "--mqtt-topic", "zud/sound", "--mqtt-discovery", "none",
                "--on-audio", "env | grep '^ZUD_' > on-audio.env"});
  awaitHeartbeat("config.app");
  ASSERT_TRUE(testsupport::eventually(
      [&] { return watcher.waitFor("zud/sound/status", "online", 0ms) >= 0; }, 10000ms));
  ASSERT_TRUE(testsupport::writeFile(work.file("go"), ""));

  const int trigger = peer->waitFor(isAlert, 15000ms);
  ASSERT_GE(trigger, 0) << zud.out() << zud.err();
  EXPECT_EQ(peer->heard()[trigger].value("event"), "Tornado Warning");
  EXPECT_EQ(peer->heard()[trigger].values("location"),
            (std::vector<std::string>{"Ada ID", "Canyon ID"}));
  ASSERT_GE(watcher.waitFor("zud/sound/alert", 5000ms), 0) << watcher.dump();

  const int audio = watcher.waitFor("zud/sound/audio", 20000ms);
  ASSERT_GE(audio, 0) << zud.out() << zud.err() << watcher.dump();
  const json said = json::parse(watcher.messages()[audio].payload, nullptr, false);
  EXPECT_EQ(said["event_type"], "TOR");
  EXPECT_EQ(said["station"], "KBOI/NWS");
  const std::string path = said["path"].get<std::string>();
  EXPECT_EQ(path.rfind(work.file("audio/"), 0), 0u) << path;
  EXPECT_GE(said["seconds"].get<double>(), 10.0);
  EXPECT_LE(said["seconds"].get<double>(), 13.0);

  // The file is whole, and sound: as long as said, at the source's rate.
  std::string why;
  ASSERT_TRUE(loadsoundfiles(why)) << why;
  soundfilein kept(path);
  ASSERT_TRUE(kept.ok()) << kept.error();
  EXPECT_EQ(kept.rate(), 22050);
  std::vector<std::int16_t> samples;
  std::size_t frames = 0;
  while (kept.read(samples, 4096)) frames += samples.size();
  EXPECT_NEAR(static_cast<double>(frames) / 22050, said["seconds"].get<double>(), 0.1);
  struct stat st {};
  EXPECT_NE(stat((path + ".part").c_str(), &st), 0) << "no half-written file left";

  // The store names it, and so does the command per message.
  ASSERT_TRUE(testsupport::eventually(
      [&] { return testsupport::readFile(work.file("on-audio.env")).find("ZUD_AUDIO=") != std::string::npos; },
      10000ms));
  const std::string env = testsupport::readFile(work.file("on-audio.env"));
  EXPECT_NE(env.find("ZUD_AUDIO=" + path + "\n"), std::string::npos) << env;
  EXPECT_NE(env.find("ZUD_EVENT_CODE=TOR\n"), std::string::npos) << env;
  alertstore store;
  ASSERT_TRUE(store.openreadonly(work.file("alerts.db"))) << store.error();
  const auto alerts = store.alerts({});
  ASSERT_TRUE(alerts && alerts->size() == 1u);
  EXPECT_EQ(alerts->front().message, path);
  // One trigger for the three bursts, and nothing for the end of message.
  peer->pump(500);
  EXPECT_EQ(alertsHeard(), 1);
}

}  // namespace
