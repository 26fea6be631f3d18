// rawsamples.h -- signed 16-bit little-endian samples from bytes that come
// in pieces of any size (a pipe from rtl_fm or arecord, a file).
#ifndef ZUD_SAME_RAWSAMPLES_H
#define ZUD_SAME_RAWSAMPLES_H

#include <cstdint>
#include <string_view>
#include <vector>

class rawsamples {
 public:
  // Appends the samples that `bytes` complete to `samples`; a sample split
  // between two pieces waits for its second byte.
  void feed(std::string_view bytes, std::vector<std::int16_t> &samples) {
    for (const char c : bytes) {
      const auto byte = static_cast<unsigned char>(c);
      if (!half_) {
        low_ = byte;
        half_ = true;
        continue;
      }
      half_ = false;
      samples.push_back(static_cast<std::int16_t>(static_cast<std::uint16_t>(low_ | (byte << 8))));
    }
  }

 private:
  unsigned char low_ = 0;
  bool half_ = false;
};

#endif  // ZUD_SAME_RAWSAMPLES_H
