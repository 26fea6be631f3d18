// tonefilter.h -- how much of each SAME tone the last bit's worth of sound
// holds, and at what phase.
//
// The sound, its DC taken off, is mixed down by the mark (2083.3 Hz) and
// space (1562.5 Hz) tones and summed over a window one bit long, so that
// each sample gives the two tones' complex amplitudes over the bit that
// would end there.  Over one bit the mark makes 4 cycles and the space 3:
// the two tones are orthogonal, and a bit of one leaves the other's sum
// with noise alone.  The mixing tones run on from the first sample, so a
// steady tone gives a steady phase however many bits it lasts: that is
// what lets a reader follow a transmitter's phase from bit to bit.  The sum
// over the same window of the sound's energy says how much of what is heard
// is the two tones at all.  Pure: samples in, numbers out.
#ifndef ZUD_SAME_TONEFILTER_H
#define ZUD_SAME_TONEFILTER_H

#include <complex>
#include <cstdint>
#include <vector>

// The bit rate, in bits a second, and the two tones, in Hz.
inline constexpr double samebaud = 3125.0 / 6.0;
inline constexpr double samemark = 4 * samebaud;
inline constexpr double samespace = 3 * samebaud;

// What the window ending at one sample holds.
struct toneenvelope {
  std::complex<float> mark;   // sum of the sound times the mark tone (e^-jwt)
  std::complex<float> space;  // the same for the space tone
  float power = 0;            // sum of the squared sound over the window
};

class tonefilter {
 public:
  // A filter for sound at `rate` samples a second (8,000 to 48,000).
  explicit tonefilter(int rate);

  // Takes the next sample; the tones' sums over the window that ends with it.
  toneenvelope step(double sample);

  // The window's length in samples: the bit period, rounded.
  int window() const { return window_; }

 private:
  int window_;
  double dcweight_;
  double dc_ = 0;
  bool primed_ = false;
  std::complex<double> markturn_, spaceturn_;  // the tones' rotation per sample
  std::complex<double> markphase_{1, 0}, spacephase_{1, 0};
  std::complex<double> marksum_, spacesum_;
  double powersum_ = 0;
  std::vector<std::complex<double>> markring_, spacering_;
  std::vector<double> powerring_;
  std::size_t at_ = 0;
  std::uint32_t sincenormal_ = 0;
};

#endif  // ZUD_SAME_TONEFILTER_H
