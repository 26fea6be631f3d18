// burstreader.cpp -- a burst's level, its bit clock and its soft bits.
#include "same/burstreader.h"

#include <algorithm>
#include <cmath>
#include <complex>

namespace {

// The timing loop's gains for the moment and for the period, per bit, on
// an error that is about 4 times the timing error in bits at a transition.
// Small, so that noise moves the clock little, yet enough to pull in the
// rest of a 1 % error that the search left.
constexpr double momentgain = 0.02;
constexpr double periodgain = 0.0004;

// No bit of one burst is taken as surer than this: beyond it, a model of
// white noise says more than an actual radio would stand for, and a burst
// whose phase was lost for a few bits could outweigh the two others.
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
  const float mark = std::abs(e.mark);
  const float space = std::abs(e.space);
  const float sum = mark + space;
  return sum > 0 ? (mark - space) / sum : 0.0f;
}

burstreader::burstreader(const syncfound &sync, const envelopering &held, int rate) {
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
  // The bits of the whole preamble and the 4 characters are known: they
  // give the tones' phases, then the tones' amplitude and the noise's
  // variance as the text's bits will be read.
  const double first = bestend - (synctextbits - 1) * period_;  // end of the text's first bit
  start_ = first - (preamblebits + 1) * period_;
  std::vector<toneenvelope> known;
  std::vector<bool> marks;
  for (int i = -preamblebits; i < synctextbits; ++i) {
    const double t = first + i * period_;
    // Bit i of the text, or of the preamble's repeating byte.
    const int bit = i >= 0 ? syncbit(syncpreamblebits + i, sync.endofmessage)
                           : syncbit(((i % 8) + 8) % 8, false);
    known.push_back(held.holds(t) ? held.at(t) : toneenvelope{});
    marks.push_back(bit > 0);
  }
  tonephase phase(known, marks, period_ * samebaud / rate - 1);
  double right = 0;
  double wrong = 0;
  double energy = 0;
  int heard = 0;
  for (std::size_t i = 0; i < known.size(); ++i) {
    // The text's bits are read from the phases the preamble left.
    if (i == preamblebits) phase_ = phase;
    const double t = first + (static_cast<double>(i) - preamblebits) * period_;
    if (held.holds(t)) {
      const inphaseparts in = phase.inphase(known[i]);
      right += marks[i] ? in.mark : in.space;
      wrong += std::norm(marks[i] ? known[i].space : known[i].mark);
      energy += std::norm(known[i].mark) + std::norm(known[i].space);
      ++heard;
    }
    phase.advance(known[i], marks[i]);
  }
  // The other tone's sum is noise alone, of variance s^2 in each of its
  // two dimensions; the in-phase part of the right one is the amplitude.
  const double amplitude = std::max(right / std::max(heard, 1), 0.0);
  const double noise = std::max(wrong / std::max(heard, 1) / 2, 1e-9 * amplitude * amplitude + 1e-12);
  gain_ = amplitude / noise;
  level_ = std::max(energy / std::max(heard, 1), 1e-12);
  phase_->weigh(amplitude);
  next_ = first;
  const double mid = first - period_;
  previous_ = held.holds(mid) ? softbit(held.at(mid)) : 0;
}

void burstreader::read(const envelopering &held) {
  while (held.holds(next_) && held.holds(next_ - period_ / 2)) {
    const toneenvelope e = held.at(next_);
    // Coherent orthogonal FSK: the mark's in-phase part against the
    // space's, each with the noise's variance in it.
    const inphaseparts in = phase_->inphase(e);
    const double llr = gain_ * (in.mark - in.space);
    llr_.push_back(static_cast<float>(std::clamp(llr, -mostsure, mostsure)));
    ends_.push_back(next_);
    presence_.push_back(static_cast<float>((std::norm(e.mark) + std::norm(e.space)) / level_));
    phase_->advance(e, llr > 0);

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
