// The sound of a SAME message as a weather radio station sends it, for
// feeding a decoder (zud's own, or multimon-ng) in tests, benchmarks and the
// demo: AFSK at 520.83 baud, mark 2083.3 Hz, space 1562.5 Hz, each byte least
// significant bit first, 16 bytes 0xAB before each burst.  Besides the clean
// sound at 22,050 Hz (the raw format multimon-ng reads with "-t raw"), it
// makes what a radio at the edge of its range hears: any sample rate, any
// level, a transmitter whose bit rate and tones are off, a DC offset, white
// Gaussian noise at a given Eb/N0, attention tones and voice-like sound.
// Every random draw comes from a seed, so the same call gives the same sound.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

inline constexpr int sameSampleRate = 22050;
inline constexpr double sameBaud = 3125.0 / 6.0;  // 520.83 bits a second

// How a transmitter and the path to the receiver shape the sound.
struct sameSignal {
  int rate = sameSampleRate;  // samples a second
  double amplitude = 16000;   // peak of the AFSK, in sample units
  double baudScale = 1.0;     // 0.99: the bit rate 1 % slow
  double toneScale = 1.0;     // 1.01: both tones 1 % high
  double dc = 0;              // added to every sample
};

// Sound as numbers before it is quantized, so that noise and several
// sources add up without clipping on the way.
class sameAudio {
 public:
  explicit sameAudio(sameSignal signal = {}) : signal_(signal) {}

  // Appends one burst: the preamble and `text`, as continuous-phase AFSK
  // starting at `phase` radians.
  void burst(const std::string &text, double phase = 0);
  // Appends `seconds` of nothing.
  void silence(double seconds);
  // Appends the attention tone: 853 + 960 Hz, or 1050 Hz when `single`.
  void attentionTone(double seconds, bool single = false);
  // Appends sound with a voice's rhythm and spectrum (a buzz at a wandering
  // pitch through moving formants, in syllables), at about the AFSK's level.
  void voice(double seconds, std::uint32_t seed);
  // The whole message: the header three times a second apart, the attention
  // tone for `toneSeconds` (none at 0), `voiceSeconds` of voice, then "NNNN"
  // three times a second apart.
  void message(const std::string &header, double toneSeconds, double voiceSeconds,
               std::uint32_t seed);
  // Adds white Gaussian noise over everything so far: the AFSK's energy per
  // bit over the one-sided noise density at the sample rate is `ebn0dB`.
  void noise(double ebn0dB, std::uint32_t seed);

  std::size_t size() const { return sound_.size(); }
  const sameSignal &signal() const { return signal_; }
  // The sound as signed 16-bit samples, clipped at full scale.
  std::vector<std::int16_t> samples() const;

 private:
  sameSignal signal_;
  std::vector<double> sound_;
};

// One clean burst at 22,050 Hz: the preamble and `text`.
std::vector<std::int16_t> sameBurst(const std::string &text);

// A whole clean message at 22,050 Hz: a second of silence, the header three
// times a second apart, then "NNNN" three times a second apart, and a second
// of silence.
std::vector<std::int16_t> sameMessage(const std::string &header);

// The samples as the bytes of a raw file (little-endian).
std::string rawBytes(const std::vector<std::int16_t> &samples);

// A valid header with `locations` location codes (1 to 31), drawn from
// `seed`: a known originator and event, counties of the table, a purge time,
// a day and time, and a station of eight characters.
std::string randomHeader(int locations, std::uint32_t seed);

}  // namespace testsupport
