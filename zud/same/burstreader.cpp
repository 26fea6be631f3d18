// burstreader.cpp -- a burst's level, its bit clock and its soft bits.
#include "same/burstreader.h"

#include <algorithm>
#include <cmath>

namespace {

// The timing loop's gains for the moment and for the period, per bit, on
// an error that is about 4 times the timing error in bits at a transition.
// Small, so that noise moves the clock little, yet enough to pull in the
// rest of a 1 % error that the search left.
constexpr double momentgain = 0.02;
constexpr double periodgain = 0.0004;

// No bit of one burst is taken as surer than this: beyond it, a model of
// white noise says more than an actual radio would stand for.
constexpr double mostsure = 12;

constexpr int preamblebits = 128;

}  // namespace

envelopering::envelopering(int rate, double seconds) {
  std::size_t size = 1;
  while (size < rate * seconds) size *= 2;
  ring_.resize(size);
}

void envelopering::push(const toneenvelope &e) { ring_[count_++ & (ring_.size() - 1)] = e; }

bool envelopering::holds(double t) const {
  return t >= 0 && t + 1 < static_cast<double>(count_) &&
         t > static_cast<double>(count_) - static_cast<double>(ring_.size()) + 1;
}

toneenvelope envelopering::at(double t) const {
  const auto whole = static_cast<std::uint64_t>(t);
  const auto part = static_cast<float>(t - static_cast<double>(whole));
  const toneenvelope &a = ring_[whole & (ring_.size() - 1)];
  const toneenvelope &b = ring_[(whole + 1) & (ring_.size() - 1)];
  toneenvelope e;
  e.mark = a.mark + (b.mark - a.mark) * part;
  e.space = a.space + (b.space - a.space) * part;
  e.power = a.power + (b.power - a.power) * part;
  return e;
}

float softbit(const toneenvelope &e) {
  const float sum = e.mark + e.space;
  return sum > 0 ? (e.mark - e.space) / sum : 0.0f;
}

double logbesseli0(double x) {
  // Polynomial fits to I0 (Abramowitz and Stegun 9.8.1 and 9.8.2), good to
  // a few parts in 10^7: below 3.75, then of e^-x sqrt(x) I0(x) above.
  if (x < 3.75) {
    const double t = (x / 3.75) * (x / 3.75);
    return std::log(
        1 + t * (3.5156229 +
                 t * (3.0899424 + t * (1.2067492 + t * (0.2659732 + t * (0.0360768 + t * 0.0045813))))));
  }
  const double t = 3.75 / x;
  const double p =
      0.39894228 +
      t * (0.01328592 +
           t * (0.00225319 +
                t * (-0.00157565 +
                     t * (0.00916281 +
                          t * (-0.02057706 + t * (0.02635537 + t * (-0.01647633 + t * 0.00392377)))))));
  return x - 0.5 * std::log(x) + std::log(p);
}

burstreader::burstreader(const syncfound &sync, const envelopering &held) {
  // The search's point and period are a bit's eighth and half a per cent
  // apart at best: the known bits settle both more finely.
  double bestscore = -1e30;
  double bestend = sync.time;
  double bestperiod = sync.period;
  for (int p = -2; p <= 2; ++p) {
    const double period = sync.period * (1 + 0.00125 * p);
    for (int d = -6; d <= 6; ++d) {
      const double end = sync.time + d * sync.period / 32;
      double score = 0;
      for (int i = 0; i < syncbits; ++i) {
        const double t = end - (syncbits - 1 - i) * period;
        if (!held.holds(t)) continue;
        score += syncbit(i, sync.endofmessage) * softbit(held.at(t));
      }
      if (score > bestscore) {
        bestscore = score;
        bestend = end;
        bestperiod = period;
      }
    }
  }
  period_ = bestperiod;
  // The bits of the whole preamble and the 4 characters are known: the
  // energy where the right tone is, and where the other one is, give the
  // tones' amplitude and the noise's variance.
  const double first = bestend - (synctextbits - 1) * period_;  // end of the text's first bit
  start_ = first - (preamblebits + 1) * period_;
  double right = 0;
  double wrong = 0;
  int known = 0;
  for (int i = -preamblebits; i < synctextbits; ++i) {
    const double t = first + i * period_;
    if (!held.holds(t)) continue;
    // Bit i of the text, or of the preamble's repeating byte.
    const int bit = i >= 0 ? syncbit(syncpreamblebits + i, sync.endofmessage)
                           : syncbit(((i % 8) + 8) % 8, false);
    const toneenvelope e = held.at(t);
    const double on = bit > 0 ? e.mark : e.space;
    const double off = bit > 0 ? e.space : e.mark;
    right += on * on;
    wrong += off * off;
    ++known;
  }
  right /= std::max(known, 1);
  wrong /= std::max(known, 1);
  // A Rician envelope of amplitude a over noise of variance s^2 a dimension
  // has a mean square of a^2 + 2 s^2; the other tone's, 2 s^2 alone.
  const double noise = std::max(wrong / 2, 1e-9 * right + 1e-12);
  const double amplitude = std::sqrt(std::max(right - wrong, 0.0));
  gain_ = amplitude / noise;
  level_ = std::max(right + wrong, 1e-12);
  next_ = first;
  const double mid = first - period_;
  previous_ = held.holds(mid) ? softbit(held.at(mid)) : 0;
}

void burstreader::read(const envelopering &held) {
  while (held.holds(next_) && held.holds(next_ - period_ / 2)) {
    const toneenvelope e = held.at(next_);
    const double llr = logbesseli0(gain_ * e.mark) - logbesseli0(gain_ * e.space);
    llr_.push_back(static_cast<float>(std::clamp(llr, -mostsure, mostsure)));
    ends_.push_back(next_);
    presence_.push_back(static_cast<float>((e.mark * e.mark + e.space * e.space) / level_));

    // Gardner's timing error: halfway between two bits of opposite values
    // the soft value is zero when the clock is right, and leans towards the
    // later bit when the clock is late.
    const float soft = softbit(e);
    const float middle = softbit(held.at(next_ - period_ / 2));
    const double error = static_cast<double>(middle) * static_cast<double>(previous_ - soft);
    previous_ = soft;
    period_ += periodgain * period_ * error;
    next_ += period_ + momentgain * period_ * error;
  }
}

void burstreader::truncate(std::size_t count) {
  if (count >= llr_.size()) return;
  llr_.resize(count);
  ends_.resize(count);
  presence_.resize(count);
}
