// zud's own SAME demodulator on generated sound at fixed seeds: a header in
// noise near the edge of what it must hear, headers deeper still that only
// a reader following the tones' phases hears, a missing burst, two bursts
// only, a slow transmitter, a quiet one with a DC offset, a tone and voice
// straight after the last burst, and headers it must never give out wrong.
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "same/demodulator.h"
#include "sameaudio.h"

namespace {

using testsupport::sameAudio;
using testsupport::sameSignal;

const std::string kHeader = "ZCZC-WXR-TOR-016001-016027+0045-3421742-KBOI/NWS-";

struct heard {
  std::vector<headerheard> headers;
  int ends = 0;
  std::vector<messagestarts> starts;
  std::vector<messageends> stops;
  // Samples pushed when the first header came out.
  std::uint64_t firstheaderat = 0;
};

// Runs the demodulator over `audio` in blocks of `block` samples.
heard demodulate(const sameAudio &audio, std::size_t block = 1000) {
  const std::vector<std::int16_t> samples = audio.samples();
  demodulator demod(audio.signal().rate);
  heard got;
  std::vector<demodevent> events;
  auto take = [&](std::uint64_t at) {
    for (const demodevent &e : events) {
      if (const auto *h = std::get_if<headerheard>(&e)) {
        if (got.headers.empty()) got.firstheaderat = at;
        got.headers.push_back(*h);
      }
      if (std::holds_alternative<endheard>(e)) ++got.ends;
      if (const auto *s = std::get_if<messagestarts>(&e)) got.starts.push_back(*s);
      if (const auto *s = std::get_if<messageends>(&e)) got.stops.push_back(*s);
    }
    events.clear();
  };
  for (std::size_t i = 0; i < samples.size(); i += block) {
    demod.push(samples.data() + i, std::min(block, samples.size() - i), events);
    take(demod.position());
  }
  demod.finish(events);
  take(demod.position());
  return got;
}

// The headers given out, as text.
std::vector<std::string> texts(const heard &got) {
  std::vector<std::string> all;
  for (const headerheard &h : got.headers) all.push_back(h.header);
  return all;
}

sameSignal quiet() {
  sameSignal signal;
  signal.amplitude = 4000;
  return signal;
}

TEST(Demodulator, CleanMessageGivesItsHeaderOnceAndItsSoundBetween) {
  sameAudio audio(quiet());
  audio.silence(1);
  audio.message(kHeader, 2, 2, 1);
  const heard got = demodulate(audio);
  ASSERT_EQ(texts(got), std::vector<std::string>{kHeader});
  EXPECT_EQ(got.headers[0].bursts, 2);  // two clean bursts are enough
  EXPECT_EQ(got.headers[0].corrected, 0);
  EXPECT_EQ(got.ends, 1);
  // The message's sound: from the third burst's end to the first "NNNN".
  const double burst = (16 + kHeader.size()) * 8 * 22050 / testsupport::sameBaud;
  ASSERT_EQ(got.starts.size(), 1u);
  ASSERT_EQ(got.stops.size(), 1u);
  EXPECT_NEAR(got.starts[0].position, 22050 * 3 + 3 * burst, 60);
  EXPECT_NEAR(got.stops[0].position, 22050 * 9 + 3 * burst, 60);
  EXPECT_TRUE(got.stops[0].endheard);
}

TEST(Demodulator, HeaderDeepInNoiseIsRecoveredAndNothingWrongComesOut) {
  // 10 dB Eb/N0: multimon-ng hears no header here; one seed of each length.
  for (int locations : {1, 3, 12}) {
    const std::string header = testsupport::randomHeader(locations, 40 + locations);
    sameAudio audio(quiet());
    audio.silence(1);
    audio.message(header, 1, 1, 7);
    audio.noise(10, 1000 + locations);
    EXPECT_EQ(texts(demodulate(audio)), std::vector<std::string>{header});
  }
}

TEST(Demodulator, FollowedPhasesHearWhatEnvelopesAloneMiss) {
  // 8 dB Eb/N0: with the tones' envelopes alone these three headers were
  // not heard; read against the tones' phases they are, from a transmitter
  // on time and from one 1 % off in tones and bit clock.
  for (const double scale : {1.0, 0.99}) {
    for (const std::uint32_t seed : {5u, 8u, 11u}) {
      sameSignal signal = quiet();
      signal.baudScale = scale;
      signal.toneScale = 2 - scale;
      const std::string header = testsupport::randomHeader(1 + seed % 3, 300 + seed);
      sameAudio audio(signal);
      audio.silence(1);
      audio.message(header, 1, 1, seed);
      audio.noise(8, 500 + seed);
      EXPECT_EQ(texts(demodulate(audio)), std::vector<std::string>{header}) << scale << " " << seed;
    }
  }
}

TEST(Demodulator, MissingFirstBurstTwoBurstsSuffice) {
  sameAudio audio(quiet());
  audio.silence(1);
  // The first burst lost (the receiver tuned in late): silence in its place.
  audio.silence((16 + kHeader.size()) * 8 / testsupport::sameBaud + 1);
  for (int i = 0; i < 2; ++i) {
    audio.burst(kHeader, i);
    audio.silence(1);
  }
  audio.voice(3, 2);
  audio.noise(12, 5);
  const heard got = demodulate(audio);
  ASSERT_EQ(texts(got), std::vector<std::string>{kHeader});
  EXPECT_EQ(got.headers[0].bursts, 2);
}

TEST(Demodulator, TwoCleanBurstsGiveTheHeaderRightAfterTheSecond) {
  sameAudio audio(quiet());
  audio.silence(1);
  audio.burst(kHeader);
  audio.silence(1);
  audio.burst(kHeader);
  const std::size_t secondend = audio.size();
  audio.silence(5);
  const heard got = demodulate(audio, 64);
  ASSERT_EQ(texts(got), std::vector<std::string>{kHeader});
  // Within a block and a bit of the burst's end: no waiting for a third.
  EXPECT_LE(got.firstheaderat, secondend + 64 + 22050 / 100);
}

TEST(Demodulator, SlowTransmitterWithOffTonesIsFollowed) {
  for (const double scale : {0.99, 1.01}) {
    sameSignal signal = quiet();
    signal.baudScale = scale;
    signal.toneScale = 2 - scale;
    const std::string header = testsupport::randomHeader(31, 3);  // the longest burst
    sameAudio audio(signal);
    audio.silence(1);
    audio.message(header, 1, 1, 3);
    audio.noise(14, 9);
    EXPECT_EQ(texts(demodulate(audio)), std::vector<std::string>{header}) << scale;
  }
}

TEST(Demodulator, QuietOffsetSoundAtAnyRate) {
  for (const int rate : {8000, 48000}) {
    sameSignal signal;
    signal.rate = rate;
    signal.amplitude = 330;  // -40 dBFS
    signal.dc = 5000;
    sameAudio audio(signal);
    audio.silence(1);
    audio.message(kHeader, 1, 1, 4);
    // One sample at a time and large blocks must hear the same.
    EXPECT_EQ(texts(demodulate(audio, 1)), std::vector<std::string>{kHeader}) << rate;
    EXPECT_EQ(texts(demodulate(audio, 100000)), std::vector<std::string>{kHeader}) << rate;
  }
}

TEST(Demodulator, ToneAndVoiceRightAfterTheLastBurst) {
  for (const bool single : {false, true}) {
    sameAudio audio(quiet());
    audio.silence(1);
    for (int i = 0; i < 3; ++i) {
      if (i > 0) audio.silence(1);
      audio.burst(kHeader, i);
    }
    const std::size_t lastend = audio.size();
    audio.attentionTone(2, single);
    audio.voice(4, 6);
    audio.noise(11, 6);
    const heard got = demodulate(audio);
    ASSERT_EQ(texts(got), std::vector<std::string>{kHeader}) << single;
    ASSERT_EQ(got.starts.size(), 1u);
    EXPECT_NEAR(got.starts[0].position, lastend, 60);
  }
}

TEST(Demodulator, PlausibleNeighbourOfAnUnknownCodeIsNeverGivenOut) {
  // 016999 is no county: the nearest valid codes are one or two bits away.
  // In heavy noise the demodulator may give it as heard, or nothing, but
  // never a county it was not sent.
  const std::string unknown = "ZCZC-WXR-TOR-016999+0030-3421742-KBOI/NWS-";
  for (std::uint32_t seed = 0; seed < 4; ++seed) {
    sameAudio audio(quiet());
    audio.silence(1);
    audio.message(unknown, 0, 1, seed);
    audio.noise(9, 70 + seed);
    for (const std::string &text : texts(demodulate(audio))) EXPECT_EQ(text, unknown) << seed;
  }
  // Clean, it comes out as sent.
  sameAudio clean(quiet());
  clean.silence(1);
  clean.message(unknown, 0, 1, 1);
  EXPECT_EQ(texts(demodulate(clean)), std::vector<std::string>{unknown});
}

TEST(Demodulator, NoiseVoiceAndTonesGiveNothing) {
  sameAudio audio(quiet());
  for (std::uint32_t i = 0; i < 6; ++i) {
    audio.voice(5, i);
    audio.attentionTone(3, i % 2 == 1);
    audio.silence(2);
  }
  audio.noise(6, 11);
  const heard got = demodulate(audio);
  EXPECT_TRUE(got.headers.empty());
  EXPECT_EQ(got.ends, 0);
}

}  // namespace
