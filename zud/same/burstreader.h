// burstreader.h -- the soft bits of one SAME burst.
//
// Once the search has found a burst's beginning, the reader fits the two
// tones' phases (tonephase.h) to the bits it already knows (the preamble
// and "ZCZC") and measures the burst's level and noise on them with those
// phases; then it takes each bit's tone sums where the bit ends, compares
// them with the tones at the phases followed so far (coherent detection)
// and turns that into how much more likely a mark is than a space (a
// log-likelihood ratio).  Kept soft, the bits of the three bursts add up
// before anything is decided.  The bit clock follows a transmitter's own: a
// timing loop (Gardner's, on the soft values around each bit's middle)
// corrects the moment and the period bit by bit, so that a burst 1 % slow
// stays in step to its last byte.  Pure: tone sums in, numbers out.
#ifndef ZUD_SAME_BURSTREADER_H
#define ZUD_SAME_BURSTREADER_H

#include <cstdint>
#include <optional>
#include <vector>

#include "same/burstsync.h"
#include "same/tonefilter.h"
#include "same/tonephase.h"

// The tone sums of the last stretch of sound, one per sample, read at any
// moment in between by interpolation.
class envelopering {
 public:
  // Room for `seconds` of sound at `rate`.
  envelopering(int rate, double seconds);
  // Appends the tone sums of the next sample.
  void push(const toneenvelope &e);
  // Samples taken so far.
  std::uint64_t count() const { return count_; }
  // Whether the sound at sample time `t` is still (or already) held.
  bool holds(double t) const;
  // The tone sums at sample time `t`, between two samples held.
  toneenvelope at(double t) const;

 private:
  std::vector<toneenvelope> ring_;
  std::uint64_t count_ = 0;
};

// The soft value of a bit from the tones' envelopes alone, -1 (all space)
// to +1 (all mark), whatever the level and the phase.
float softbit(const toneenvelope &e);

class burstreader {
 public:
  // Starts on the burst `sync` found, in the sound `held` at `rate` samples
  // a second, which must hold its preamble still.
  burstreader(const syncfound &sync, const envelopering &held, int rate);

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
  std::optional<tonephase> phase_;  // the tones' phases at the next bit
  double gain_ = 0;   // the tones' in-phase amplitude over the noise variance
  double level_ = 1;  // mean tone energy of a known bit
  double start_ = 0;
  float previous_ = 0;  // the previous bit's soft value
  std::vector<float> llr_;
  std::vector<double> ends_;
  std::vector<float> presence_;
};

#endif  // ZUD_SAME_BURSTREADER_H
