// tonephase.h -- the phase of a SAME burst's two tones, followed bit by bit.
//
// A SAME transmitter keeps its phase from one bit to the next, and each bit
// is a whole number of cycles of its tone (4 of mark, 3 of space), so the
// mark tone comes back at the same phase in every mark bit and the space
// tone in every space bit.  Knowing those two phases, a receiver compares
// each bit with the two tones as they would be (coherent detection) instead
// of with their envelopes alone, which hears the same bits in about 1.5 dB
// more noise.
//
// A transmitter up to 1 % off turns both phases a little every bit: its
// tones by a share `e` of their cycles (4e a mark bit, 3e a space bit),
// and its bit clock, `u` of a bit slow, moves where one tone's cycles end
// against the other's (mark -u a space bit, space +u a mark bit).  The
// phases and `e` are fitted to the bits a burst begins with, which are
// known, `u` taken from the reader's bit clock; then all four are followed
// through the text by the bits as decided (a decision-directed loop).  `u`
// is followed here rather than read from the bit clock at every bit: that
// clock wanders by more than the tones' phases stand (Gardner's loop moves
// its period by noise), while a wrong `u` only turns the phases slowly.
// Pure: numbers in, numbers out.
#ifndef ZUD_SAME_TONEPHASE_H
#define ZUD_SAME_TONEPHASE_H

#include <vector>

#include "same/tonefilter.h"

// The in-phase parts of a bit's two tone sums: the share of each that lies
// along the phase its tone would have in that bit.
struct inphaseparts {
  double mark = 0;
  double space = 0;
};

class tonephase {
 public:
  // Fits the phases at the first of `known` (each bit's tone sums, taken
  // at its end) and the tones' frequency error to the bits' values `mark`,
  // for a bit clock `slow` of a bit slower than nominal (negative: fast).
  tonephase(const std::vector<toneenvelope> &known, const std::vector<bool> &mark, double slow);

  // How much of each tone the bit `e` holds at the phase that tone would
  // have in it.
  inphaseparts inphase(const toneenvelope &e) const;

  // The bit `e` was a mark (or a space): corrects the phases by what it
  // showed and moves them on to the next bit.
  void advance(const toneenvelope &e, bool mark);

  // From now on a tone's phase errors are weighed against `amplitude`, the
  // in-phase part a bit of that tone holds, so that a bit decided wrongly
  // (noise alone) pulls the phases less than a clear one.
  void weigh(double amplitude) { amplitude_ = amplitude; }

  // The tones' frequency error as followed: a share of their cycles.
  double drift() const { return drift_; }
  // How much slower the bit clock runs than nominal, as followed: a share
  // of a bit.
  double slow() const { return slow_; }

 private:
  double mark_ = 0;   // the mark tone's phase in the next bit, radians
  double space_ = 0;  // the space tone's
  double drift_ = 0;  // e
  double slow_ = 0;   // u
  double amplitude_ = 0;  // 0 until weigh(): errors as angles
};

#endif  // ZUD_SAME_TONEPHASE_H
