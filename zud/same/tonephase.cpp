// tonephase.cpp -- the two tones' phases fitted to the known bits, then
// followed.
#include "same/tonephase.h"

#include <algorithm>
#include <cmath>

namespace {

const double pi = std::acos(-1.0);

// The frequency errors tried by the fit: tones 1 % off with a bit clock
// 1 % off the other way make e about 1 %; a little more is allowed.  A
// step turns the phase by an eighth of a cycle over 600 tone cycles (the
// 160 known bits hold some 560), so the grid's best point is within a
// sixteenth of a cycle of the best fit at the far end.
constexpr double mostdrift = 0.015;
constexpr double driftstep = 1.0 / (8 * 600);

// The loop's gains, per bit and radian of phase error.  An error seen on
// one tone is in part an error of both (the tones' frequency error turns
// both alike) and in part that tone's own (the bit clock's error turns
// them apart).  Tried at 8 dB Eb/N0 with transmitters on time and 1 % off:
// the phase gains anywhere from 0.05 to 0.2 read the bits equally well,
// and without the tone's own share the phases come apart.
constexpr double commongain = 0.1;
constexpr double owngain = 0.1;
// On the frequency error (a share of the tones' cycles, which turn the
// phases some 3.5 times that a bit), and on the bit clock's share, which
// turns the two tones apart by that much a bit.
const double driftgain = 0.004 / (2 * pi * 3.5);
const double slowgain = 0.0002;

double wrap(double angle) { return std::remainder(angle, 2 * pi); }

// The fit's score for frequency error `e`: how well both tones keep one
// phase each over the known bits once it is taken out, and those phases.
struct fit {
  double score = 0;
  std::complex<double> mark, space;
};

fit tryfit(const std::vector<std::complex<double>> &seen, const std::vector<bool> &mark,
           double e) {
  const std::complex<double> turn3 = std::polar(1.0, -2 * pi * 3 * e);
  const std::complex<double> turn4 = std::polar(1.0, -2 * pi * 4 * e);
  std::complex<double> turn{1, 0};
  fit result;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    (mark[i] ? result.mark : result.space) += seen[i] * turn;
    turn *= mark[i] ? turn4 : turn3;
  }
  result.score = std::norm(result.mark) + std::norm(result.space);
  return result;
}

}  // namespace

tonephase::tonephase(const std::vector<toneenvelope> &known, const std::vector<bool> &mark,
                     double slow) {
  // Each known bit's own tone, with the bit clock's part of its phase
  // taken out: the mark tone loses u a space bit, the space gains u a mark
  // bit.
  std::vector<std::complex<double>> seen(known.size());
  double marks = 0;
  double spaces = 0;
  for (std::size_t i = 0; i < known.size(); ++i) {
    if (mark[i]) {
      seen[i] = std::complex<double>(known[i].mark) * std::polar(1.0, 2 * pi * slow * spaces);
      ++marks;
    } else {
      seen[i] = std::complex<double>(known[i].space) * std::polar(1.0, -2 * pi * slow * marks);
      ++spaces;
    }
  }
  const int steps = static_cast<int>(std::ceil(mostdrift / driftstep));
  std::vector<double> scores;
  int best = -steps;
  for (int s = -steps; s <= steps; ++s) {
    scores.push_back(tryfit(seen, mark, s * driftstep).score);
    if (scores.back() > scores[static_cast<std::size_t>(best + steps)]) best = s;
  }
  // Between the grid's points: the top of the parabola through the best
  // and its two neighbours.
  double e = best * driftstep;
  if (best > -steps && best < steps) {
    const auto at = static_cast<std::size_t>(best + steps);
    const double before = scores[at - 1];
    const double top = scores[at];
    const double after = scores[at + 1];
    const double curve = before - 2 * top + after;
    if (curve < 0) e += std::clamp(0.5 * (before - after) / curve, -0.5, 0.5) * driftstep;
  }
  const fit found = tryfit(seen, mark, e);
  drift_ = e;
  slow_ = slow;
  mark_ = std::arg(found.mark);
  space_ = std::arg(found.space);
}

inphaseparts tonephase::inphase(const toneenvelope &e) const {
  inphaseparts parts;
  parts.mark = std::real(std::complex<double>(e.mark) * std::polar(1.0, -mark_));
  parts.space = std::real(std::complex<double>(e.space) * std::polar(1.0, -space_));
  return parts;
}

void tonephase::advance(const toneenvelope &e, bool mark) {
  const std::complex<double> seen =
      mark ? std::complex<double>(e.mark) * std::polar(1.0, -mark_)
           : std::complex<double>(e.space) * std::polar(1.0, -space_);
  double error = 0;
  if (amplitude_ > 0) {
    error = std::clamp(seen.imag() / amplitude_, -1.0, 1.0);
  } else if (std::abs(seen) > 0) {
    error = seen.imag() / std::abs(seen);
  }
  mark_ += (commongain + (mark ? owngain : 0)) * error;
  space_ += (commongain + (mark ? 0 : owngain)) * error;
  drift_ += driftgain * error;
  // The space tone ahead of where it was expected, or the mark behind: the
  // clock is slower than followed.
  slow_ += (mark ? -slowgain : slowgain) * error;
  // On to the next bit: what this bit's tone and the clock turn each by.
  if (mark) {
    mark_ += 2 * pi * 4 * drift_;
    space_ += 2 * pi * (4 * drift_ + slow_);
  } else {
    mark_ += 2 * pi * (3 * drift_ - slow_);
    space_ += 2 * pi * 3 * drift_;
  }
  mark_ = wrap(mark_);
  space_ = wrap(space_);
}
