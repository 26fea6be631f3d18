// The sound of a SAME message.
#include "sameaudio.h"

#include <cmath>

namespace testsupport {

namespace {

constexpr double baud = 3125.0 / 6.0;  // 520.83 bits a second
constexpr double markHz = 4 * baud;    // 2083.3 Hz, a 1 bit
constexpr double spaceHz = 3 * baud;   // 1562.5 Hz, a 0 bit
constexpr double amplitude = 16000;    // about half of full scale
constexpr int preambleBytes = 16;

void append(std::vector<std::int16_t> &to, const std::vector<std::int16_t> &samples) {
  to.insert(to.end(), samples.begin(), samples.end());
}

std::vector<std::int16_t> silence(double seconds) {
  return std::vector<std::int16_t>(static_cast<std::size_t>(seconds * sameSampleRate), 0);
}

}  // namespace

std::vector<std::int16_t> sameBurst(const std::string &text) {
  std::vector<int> bits;
  const std::string bytes = std::string(preambleBytes, '\xab') + text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    for (int bit = 0; bit < 8; ++bit) bits.push_back((byte >> bit) & 1);
  }
  // Each sample takes the bit whose time span it falls in, so that the
  // fractional number of samples per bit never drifts; the phase runs on
  // across bits, as a real modulator's does.
  const auto total = static_cast<std::size_t>(std::ceil(bits.size() * sameSampleRate / baud));
  std::vector<std::int16_t> samples;
  samples.reserve(total);
  const double pi = std::acos(-1.0);
  double phase = 0;
  for (std::size_t n = 0; n < total; ++n) {
    auto index = static_cast<std::size_t>(static_cast<double>(n) * baud / sameSampleRate);
    if (index >= bits.size()) index = bits.size() - 1;
    phase += 2 * pi * (bits[index] != 0 ? markHz : spaceHz) / sameSampleRate;
    if (phase > 2 * pi) phase -= 2 * pi;
    samples.push_back(static_cast<std::int16_t>(std::lround(amplitude * std::sin(phase))));
  }
  return samples;
}

std::vector<std::int16_t> sameMessage(const std::string &header) {
  std::vector<std::int16_t> samples = silence(1);
  const std::vector<std::int16_t> headerBurst = sameBurst(header);
  const std::vector<std::int16_t> endBurst = sameBurst("NNNN");
  for (const auto *burst : {&headerBurst, &endBurst}) {
    for (int i = 0; i < 3; ++i) {
      append(samples, *burst);
      append(samples, silence(1));
    }
  }
  return samples;
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

}  // namespace testsupport
