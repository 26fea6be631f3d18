// The sound of a SAME message.
#include "sameaudio.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <random>

#include "same/decoder.h"
#include "same/national_all.h"

namespace testsupport {

namespace {

constexpr double markHz = 4 * sameBaud;   // 2083.3 Hz, a 1 bit
constexpr double spaceHz = 3 * sameBaud;  // 1562.5 Hz, a 0 bit
constexpr int preambleBytes = 16;
const double pi = std::acos(-1.0);

// Raw generator output only, never a library distribution, so that a seed
// gives the same sound with any standard library.
class draws {
 public:
  explicit draws(std::uint32_t seed) : engine_(seed) {}
  // Uniform in [0, 1).
  double uniform() { return (engine_() >> 5) * (1.0 / 134217728.0); }
  // Uniform integer in [0, n).
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(uniform() * n); }
  // Standard normal (Box-Muller; the second value is dropped for simplicity).
  double normal() {
    const double u = 1.0 - uniform();
    return std::sqrt(-2 * std::log(u)) * std::cos(2 * pi * uniform());
  }

 private:
  std::mt19937 engine_;
};

// A two-pole resonator: a formant of a voice.
class resonator {
 public:
  void tune(double hz, double bandwidth, int rate) {
    const double r = std::exp(-pi * bandwidth / rate);
    a1_ = 2 * r * std::cos(2 * pi * hz / rate);
    a2_ = -r * r;
    gain_ = 1 - r;
  }
  double step(double x) {
    const double y = gain_ * x + a1_ * y1_ + a2_ * y2_;
    y2_ = y1_;
    y1_ = y;
    return y;
  }

 private:
  double a1_ = 0, a2_ = 0, gain_ = 0, y1_ = 0, y2_ = 0;
};

}  // namespace

void sameAudio::burst(const std::string &text, double phase) {
  std::vector<int> bits;
  const std::string bytes = std::string(preambleBytes, '\xab') + text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    for (int bit = 0; bit < 8; ++bit) bits.push_back((byte >> bit) & 1);
  }
  // Each sample takes the bit whose time span it falls in, so that the
  // fractional number of samples per bit never drifts; the phase runs on
  // across bits, as a real modulator's does.
  const double baud = sameBaud * signal_.baudScale;
  const double rate = signal_.rate;
  const auto total = static_cast<std::size_t>(std::ceil(bits.size() * rate / baud));
  for (std::size_t n = 0; n < total; ++n) {
    auto index = static_cast<std::size_t>(static_cast<double>(n) * baud / rate);
    if (index >= bits.size()) index = bits.size() - 1;
    phase += 2 * pi * (bits[index] != 0 ? markHz : spaceHz) * signal_.toneScale / rate;
    if (phase > 2 * pi) phase -= 2 * pi;
    sound_.push_back(signal_.amplitude * std::sin(phase) + signal_.dc);
  }
}

void sameAudio::silence(double seconds) {
  sound_.insert(sound_.end(), static_cast<std::size_t>(seconds * signal_.rate), signal_.dc);
}

void sameAudio::attentionTone(double seconds, bool single) {
  const auto count = static_cast<std::size_t>(seconds * signal_.rate);
  for (std::size_t n = 0; n < count; ++n) {
    const double t = static_cast<double>(n) / signal_.rate;
    const double tone = single ? std::sin(2 * pi * 1050 * t)
                               : 0.5 * (std::sin(2 * pi * 853 * t) + std::sin(2 * pi * 960 * t));
    sound_.push_back(signal_.amplitude * tone + signal_.dc);
  }
}

void sameAudio::voice(double seconds, std::uint32_t seed) {
  draws draw(seed);
  const int rate = signal_.rate;
  const auto count = static_cast<std::size_t>(seconds * rate);
  resonator formants[3];
  std::vector<double> buzz(count);
  double pitch = 90 + 130 * draw.uniform();
  double glottis = 0;
  std::size_t syllableEnd = 0;
  double syllableLength = 1;
  bool voiced = true;
  bool pause = false;
  for (std::size_t n = 0; n < count; ++n) {
    if (n >= syllableEnd) {
      // A new syllable: its length, its vowel (formants) or a hiss, or a pause.
      syllableLength = rate * (0.08 + 0.25 * draw.uniform());
      syllableEnd = n + static_cast<std::size_t>(syllableLength);
      pause = draw.uniform() < 0.15;
      voiced = draw.uniform() < 0.8;
      formants[0].tune(300 + 500 * draw.uniform(), 80, rate);
      formants[1].tune(900 + 1600 * draw.uniform(), 120, rate);
      formants[2].tune(2400 + 700 * draw.uniform(), 160, rate);
      pitch = std::clamp(pitch * (0.85 + 0.3 * draw.uniform()), 80.0, 260.0);
    }
    const double into = 1 - static_cast<double>(syllableEnd - n) / syllableLength;
    const double envelope = pause ? 0 : std::sin(pi * into);
    double source;
    if (voiced) {
      glottis += pitch / rate;
      source = glottis >= 1 ? 1.0 : 0.0;
      if (glottis >= 1) glottis -= 1;
      source = source * 20 - 20.0 * pitch / rate;
    } else {
      source = draw.normal();
    }
    double y = 0;
    for (resonator &f : formants) y += f.step(source);
    buzz[n] = envelope * y;
  }
  double power = 0;
  for (const double v : buzz) power += v * v;
  const double rms = std::sqrt(power / std::max<std::size_t>(count, 1));
  const double scale = rms > 0 ? signal_.amplitude / std::sqrt(2.0) / rms : 0;
  for (const double v : buzz) sound_.push_back(v * scale + signal_.dc);
}

void sameAudio::message(const std::string &header, double toneSeconds, double voiceSeconds,
                        std::uint32_t seed) {
  draws draw(seed);
  for (int i = 0; i < 3; ++i) {
    burst(header, 2 * pi * draw.uniform());
    silence(1);
  }
  if (toneSeconds > 0) attentionTone(toneSeconds);
  if (voiceSeconds > 0) voice(voiceSeconds, seed ^ 0x5a5a5a5au);
  silence(toneSeconds > 0 || voiceSeconds > 0 ? 1 : 0);
  for (int i = 0; i < 3; ++i) {
    burst("NNNN", 2 * pi * draw.uniform());
    silence(1);
  }
}

void sameAudio::noise(double ebn0dB, std::uint32_t seed) {
  draws draw(seed);
  // Eb = A^2 / 2 * (samples a bit); N0 = 2 sigma^2 / rate, the variance
  // spread over the band from 0 to half the rate.
  const double samplesPerBit = signal_.rate / (sameBaud * signal_.baudScale);
  const double ebn0 = std::pow(10.0, ebn0dB / 10);
  const double sigma = signal_.amplitude * std::sqrt(samplesPerBit / (4 * ebn0));
  for (double &v : sound_) v += sigma * draw.normal();
}

std::vector<std::int16_t> sameAudio::samples() const {
  std::vector<std::int16_t> out;
  out.reserve(sound_.size());
  for (const double v : sound_) {
    out.push_back(static_cast<std::int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0))));
  }
  return out;
}

std::vector<std::int16_t> sameBurst(const std::string &text) {
  sameAudio audio;
  audio.burst(text);
  return audio.samples();
}

std::vector<std::int16_t> sameMessage(const std::string &header) {
  sameAudio audio;
  audio.silence(1);
  for (const std::string &text : {header, std::string("NNNN")}) {
    for (int i = 0; i < 3; ++i) {
      audio.burst(text);
      audio.silence(1);
    }
  }
  return audio.samples();
}

std::string rawBytes(const std::vector<std::int16_t> &samples) {
  std::string bytes;
  bytes.reserve(samples.size() * 2);
  for (const std::int16_t s : samples) {
    const auto u = static_cast<std::uint16_t>(s);
    bytes.push_back(static_cast<char>(u & 0xff));
    bytes.push_back(static_cast<char>(u >> 8));
  }
  return bytes;
}

std::string randomHeader(int locations, std::uint32_t seed) {
  draws draw(seed);
  const char *originators[] = {"WXR", "WXR", "WXR", "CIV", "EAS", "PEP"};
  std::string header = "ZCZC-";
  header += originators[draw.below(std::size(originators))];
  header += "-";
  header += eventcodes[draw.below(std::size(eventcodes) - 1)].ecode;
  for (int i = 0; i < locations; ++i) {
    header += "-";
    header += static_cast<char>('0' + (draw.uniform() < 0.8 ? 0 : draw.below(10)));
    header += fips_all[draw.below(std::size(fips_all))].fips_code;
  }
  const int purges[] = {15, 30, 45, 100, 130, 200, 300, 600};
  char tail[64];
  std::snprintf(tail, sizeof tail, "+%04d-%03d%02d%02d-", purges[draw.below(std::size(purges))],
                static_cast<int>(1 + draw.below(365)), static_cast<int>(draw.below(24)),
                static_cast<int>(draw.below(60)));
  header += tail;
  const char *stations[] = {"KBOI/NWS", "KOKC/NWS", "WXK27   ", "KDEN/NWS", "WAAA/FM ", "EAS     "};
  header += stations[draw.below(std::size(stations))];
  header += "-";
  return header;
}

}  // namespace testsupport
