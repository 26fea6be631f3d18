// The tones' phases of a SAME burst: fitted to its known bits, then
// followed through its text, for a transmitter whose tones and bit clock
// are off in opposite directions (the phases then turn by different
// amounts on mark and on space bits).
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "same/tonephase.h"
#include "sameaudio.h"

namespace {

TEST(TonePhase, FitAndLoopFollowATransmitterOffInToneAndClock) {
  for (const double scale : {0.99, 1.01}) {
    testsupport::sameSignal signal;
    signal.amplitude = 4000;
    signal.baudScale = scale;
    signal.toneScale = 2 - scale;
    testsupport::sameAudio audio(signal);
    const std::string text = "ZCZC-WXR-TOR-016001-016027+0045-3421742-KBOI/NWS-";
    audio.burst(text, 2.0);
    tonefilter filter(signal.rate);
    std::vector<toneenvelope> sums;
    for (const std::int16_t s : audio.samples()) sums.push_back(filter.step(s));

    // Each bit's sums where it ends, and its value, the preamble's first.
    const double period = signal.rate / (samebaud * scale);
    std::vector<toneenvelope> bits;
    std::vector<bool> marks;
    for (const char c : std::string(16, '\xab') + text) {
      for (int b = 0; b < 8; ++b) {
        bits.push_back(sums[static_cast<std::size_t>(std::lround((bits.size() + 1) * period)) - 1]);
        marks.push_back(((static_cast<unsigned char>(c) >> b) & 1) != 0);
      }
    }
    const double slow = 1 / scale - 1;
    const std::vector<toneenvelope> known(bits.begin(), bits.begin() + 160);
    tonephase phase(known, std::vector<bool>(marks.begin(), marks.begin() + 160), slow);
    // e: the tones' error as a share of their cycles, over a bit as long as sent.
    EXPECT_NEAR(phase.drift(), (1 - scale) / scale, 0.001) << scale;
    phase.weigh(4000.0 * filter.window() / 2);
    for (std::size_t i = 0; i < bits.size(); ++i) {
      // Every bit's own tone stays within some 25 degrees of the phase followed.
      const inphaseparts in = phase.inphase(bits[i]);
      const double own = marks[i] ? in.mark : in.space;
      const double size = std::abs(marks[i] ? bits[i].mark : bits[i].space);
      ASSERT_GT(own, 0.9 * size) << scale << " bit " << i;
      phase.advance(bits[i], marks[i]);
    }
    EXPECT_NEAR(phase.slow(), slow, 0.001) << scale;
  }
}

}  // namespace
