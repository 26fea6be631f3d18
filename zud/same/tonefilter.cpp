// tonefilter.cpp -- the two tones' sums over a sliding bit window.
#include "same/tonefilter.h"

#include <cmath>

tonefilter::tonefilter(int rate)
    : window_(static_cast<int>(std::lround(rate / samebaud))),
      // A DC blocker with its corner near 60 Hz: far below both tones, and
      // quick enough to follow an offset that a sound card's input drifts by.
      dcweight_(1 - std::exp(-2 * std::acos(-1.0) * 60.0 / rate)),
      markturn_(std::polar(1.0, -2 * std::acos(-1.0) * samemark / rate)),
      spaceturn_(std::polar(1.0, -2 * std::acos(-1.0) * samespace / rate)),
      markring_(static_cast<std::size_t>(window_)),
      spacering_(static_cast<std::size_t>(window_)),
      powerring_(static_cast<std::size_t>(window_)) {}

toneenvelope tonefilter::step(double sample) {
  if (!primed_) {
    // The first sample sets the DC level, so that an offset present from
    // the start is no step for the blocker to ring on.
    dc_ = sample;
    primed_ = true;
  }
  dc_ += (sample - dc_) * dcweight_;
  const double x = sample - dc_;

  markphase_ *= markturn_;
  spacephase_ *= spaceturn_;
  // The rotations drift off the unit circle by rounding; pull them back now
  // and then.
  if (++sincenormal_ == 4096) {
    sincenormal_ = 0;
    markphase_ /= std::abs(markphase_);
    spacephase_ /= std::abs(spacephase_);
  }
  const std::complex<double> mark = x * markphase_;
  const std::complex<double> space = x * spacephase_;
  const double power = x * x;
  // The rings keep what was added, so the sums lose each value as it was
  // counted: their rounding errors only wander, and stay far below a
  // sample's least step over days of sound.
  marksum_ += mark - markring_[at_];
  spacesum_ += space - spacering_[at_];
  powersum_ += power - powerring_[at_];
  markring_[at_] = mark;
  spacering_[at_] = space;
  powerring_[at_] = power;
  if (++at_ == markring_.size()) at_ = 0;

  toneenvelope out;
  out.mark = std::complex<float>(marksum_);
  out.space = std::complex<float>(spacesum_);
  out.power = static_cast<float>(powersum_ > 0 ? powersum_ : 0);
  return out;
}
