// burstreader.h -- the soft bits of one SAME burst.
//
// Once the search has found a burst's beginning, the reader measures the
// burst's level and noise on the bits it already knows (the preamble and
// "ZCZC"), then takes each bit's mark and space envelopes where the bit
// ends and turns them into how much more likely a mark is than a space (a
// log-likelihood ratio).  Kept soft, the bits of the three bursts add up
// before anything is decided.  The bit clock follows a transmitter's own: a
// timing loop (Gardner's, on the soft values around each bit's middle)
// corrects the moment and the period bit by bit, so that a burst 1 % slow
// stays in step to its last byte.  Pure: envelopes in, numbers out.
#ifndef ZUD_SAME_BURSTREADER_H
#define ZUD_SAME_BURSTREADER_H

#include <cstdint>
#include <vector>

#include "same/burstsync.h"
#include "same/tonefilter.h"

// The envelopes of the last stretch of sound, one per sample, read at any
// moment in between by interpolation.
class envelopering {
 public:
  // Room for `seconds` of sound at `rate`.
  envelopering(int rate, double seconds);
  // Appends the envelopes of the next sample.
  void push(const toneenvelope &e);
  // Samples taken so far.
  std::uint64_t count() const { return count_; }
  // Whether the sound at sample time `t` is still (or already) held.
  bool holds(double t) const;
  // The envelopes at sample time `t`, between two samples held.
  toneenvelope at(double t) const;

 private:
  std::vector<toneenvelope> ring_;
  std::uint64_t count_ = 0;
};

// The soft value of a bit, -1 (all space) to +1 (all mark), whatever the level.
float softbit(const toneenvelope &e);

// ln I0(x), the log of the modified Bessel function of order 0, for x >= 0.
double logbesseli0(double x);

class burstreader {
 public:
  // Starts on the burst `sync` found, in the sound `held`, which must hold
  // its preamble still.
  burstreader(const syncfound &sync, const envelopering &held);

  // Reads every bit the sound held so far has ended.
  void read(const envelopering &held);

  // One log-likelihood ratio per bit (positive: mark), from the first bit
  // of "ZCZC" on.
  const std::vector<float> &bits() const { return llr_; }
  // When each bit ends, in samples.
  const std::vector<double> &ends() const { return ends_; }
  // How much tone energy each bit carried, as a share of the burst's level
  // while its known bits were heard.
  const std::vector<float> &presence() const { return presence_; }
  // When the burst's preamble began, in samples.
  double start() const { return start_; }
  // Drops every bit after the first `count`.
  void truncate(std::size_t count);

 private:
  double next_;    // when the next bit ends
  double period_;  // samples a bit, as the loop follows it
  double gain_ = 0;  // the tones' amplitude over the noise variance
  double level_ = 1;  // mean tone energy of a known bit
  double start_ = 0;
  float previous_ = 0;  // the previous bit's soft value
  std::vector<float> llr_;
  std::vector<double> ends_;
  std::vector<float> presence_;
};

#endif  // ZUD_SAME_BURSTREADER_H
