// burstsync.h -- finding where a SAME burst's text begins.
//
// Every burst starts with 16 bytes 0xAB and then "ZCZC" (a header) or
// "NNNN" (the end of a message).  The search correlates the soft bits,
// taken eight times a bit, with the last 6 bytes of the preamble and the 4
// characters after it: 80 known bits, so that a burst is found at an
// Eb/N0 where a fifth of its bits are wrong, and the 4 characters fix the
// byte framing that the preamble's 8-bit period leaves open.  Transmitters
// run up to 1 % fast or slow, and 80 bits at the wrong rate would smear, so
// the pattern is tried at five bit periods from 1 % short to 1 % long.
// Pure: soft bits in, burst beginnings out.
#ifndef ZUD_SAME_BURSTSYNC_H
#define ZUD_SAME_BURSTSYNC_H

#include <array>
#include <cstddef>
#include <optional>
#include <vector>

// The beginning of a burst.
struct syncfound {
  bool endofmessage = false;  // "NNNN" rather than "ZCZC"
  double time = 0;            // when the 4th character's last bit ends, in samples
  double period = 0;          // samples a bit, as the pattern fitted best
  float score = 0;            // the pattern's correlation with the soft bits, up to 1
};

// The known bits, in the order sent: 48 of preamble, then 32 of text.
inline constexpr int syncpreamblebits = 48;
inline constexpr int synctextbits = 32;
inline constexpr int syncbits = syncpreamblebits + synctextbits;

// +1 or -1 for bit `i` (0 first) of the pattern ending in "ZCZC", or in
// "NNNN" when `endofmessage`.
int syncbit(int i, bool endofmessage);

class syncsearch {
 public:
  // A search in soft bits taken every `period` / 8 samples.
  explicit syncsearch(double period);

  // Takes the soft bit (-1 space to +1 mark) of the next point, which ends
  // at sample time `time`; the burst found, once its best point has passed.
  std::optional<syncfound> push(float soft, double time);

 private:
  static constexpr std::size_t ringsize = 1024;
  static constexpr int scales = 5;
  double period_;
  std::array<float, ringsize> soft_{};
  std::array<double, ringsize> times_{};
  std::size_t count_ = 0;
  std::array<std::array<std::size_t, syncbits>, scales> lags_{};
  std::array<std::array<float, syncbits>, 2> pattern_{};  // ZCZC, NNNN
  std::optional<syncfound> best_;  // the best point of a burst being passed
  int sincebest_ = 0;
  int holdoff_ = 0;
};

#endif  // ZUD_SAME_BURSTSYNC_H
