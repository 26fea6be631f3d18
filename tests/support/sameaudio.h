// The sound of a SAME message as a weather radio station sends it, for
// feeding a real decoder (multimon-ng) in tests and in the demo: AFSK at
// 520.83 baud, mark 2083.3 Hz, space 1562.5 Hz, each byte least significant
// bit first, 16 bytes 0xAB before each burst.  Samples are signed 16-bit
// mono at 22,050 Hz, the raw format multimon-ng reads with "-t raw".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

inline constexpr int sameSampleRate = 22050;

// One burst: the preamble and `text`, as continuous-phase AFSK.
std::vector<std::int16_t> sameBurst(const std::string &text);

// A whole message: a second of silence, the header three times a second
// apart, then "NNNN" three times a second apart, and a second of silence.
std::vector<std::int16_t> sameMessage(const std::string &header);

// The samples as the bytes of a raw file (little-endian).
std::string rawBytes(const std::vector<std::int16_t> &samples);

}  // namespace testsupport
