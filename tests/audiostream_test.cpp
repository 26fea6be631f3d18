// Sound from a source, as audiostream hears it: the header of a message
// handed on once, and a radio gone silent (or clipping) for a minute said
// once when it begins and once when it ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sameaudio.h"
#include "sources/audiostream.h"

namespace {

struct Heard {
  std::vector<std::string> headers;
  std::vector<std::string> levels;  // "problem: WHY" or "fine"
};

class AudioStream : public ::testing::Test {
 protected:
  Heard heard;
  audiostream stream{audiosettings{22050, 180, ""}, "source 1",
                     [](std::string_view header, void *owner) {
                       static_cast<Heard *>(owner)->headers.emplace_back(header);
                       return true;
                     },
                     [](const std::string &, const std::string &, double, void *) {},
                     [](bool problem, const std::string &why, void *owner) {
                       static_cast<Heard *>(owner)->levels.push_back(problem ? "problem: " + why
                                                                             : "fine");
                     },
                     &heard};

  // Feeds the samples in pieces of odd sizes, as a pipe gives them.
  void feed(const std::vector<std::int16_t> &samples) {
    const std::string bytes = testsupport::rawBytes(samples);
    for (std::size_t at = 0; at < bytes.size(); at += 4097) stream.feed(bytes.substr(at, 4097));
  }
};

TEST_F(AudioStream, MessageInPiecesOfAnySizeGivesItsHeaderOnce) {
  const std::string header = "ZCZC-WXR-TOR-016001+0045-0011742-KBOI/NWS-";
  feed(testsupport::sameMessage(header));
  stream.finish();
  EXPECT_EQ(heard.headers, std::vector<std::string>{header});
  EXPECT_TRUE(heard.levels.empty());
}

TEST_F(AudioStream, AMinuteOfSilenceOrClippingIsSaidOnceEachWay) {
  feed(std::vector<std::int16_t>(22050 * 59, 0));
  EXPECT_TRUE(heard.levels.empty()) << "a pause is no problem";
  feed(std::vector<std::int16_t>(22050 * 2, 1));
  ASSERT_EQ(heard.levels.size(), 1u);
  EXPECT_NE(heard.levels[0].find("gives no sound at all"), std::string::npos) << heard.levels[0];
  feed(std::vector<std::int16_t>(22050 * 30, 0));
  EXPECT_EQ(heard.levels.size(), 1u) << "said once while it lasts";

  // Sound again: the problem is over; then a radio turned up too far.
  testsupport::sameSignal quiet;
  quiet.amplitude = 1000;  // hiss well below full scale
  testsupport::sameAudio hiss(quiet);
  hiss.silence(2);
  hiss.noise(10, 1);
  feed(hiss.samples());
  ASSERT_EQ(heard.levels.size(), 2u);
  EXPECT_EQ(heard.levels[1], "fine");
  std::vector<std::int16_t> clipped(22050 * 61);
  for (std::size_t i = 0; i < clipped.size(); ++i) clipped[i] = i % 2 ? 32767 : -32768;
  feed(clipped);
  ASSERT_EQ(heard.levels.size(), 3u);
  EXPECT_NE(heard.levels[2].find("clips"), std::string::npos) << heard.levels[2];
}

}  // namespace
