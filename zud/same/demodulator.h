// demodulator.h -- SAME headers heard in sound.
//
// Samples go in, in blocks of any size; events come out: each header once,
// with where it was heard, how many of its bursts were, how many bits had
// to be put right and how sure the demodulator is of it; each end of
// message; and where the message's own sound (attention tone and voice)
// begins and ends, so that a caller that keeps the last few seconds of
// sound can keep the message too.
//
// The three bursts of a header are read as soft bits, added up bit by bit
// once aligned, and the header chosen is the most likely valid one
// (headersearch.h).  It comes out as soon as it is sure: after the second
// burst when the first two agree well enough, or at the latest 1.5 s after
// the last burst heard; a later burst of the same header is a repeat and
// gives no second event.  A header that is not sure enough never comes
// out: a wrong alert is worse than none.
//
// Pure: no I/O, no clock, no threads.  Positions count samples from the
// first one pushed.
#ifndef ZUD_SAME_DEMODULATOR_H
#define ZUD_SAME_DEMODULATOR_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "same/burstreader.h"
#include "same/burstsync.h"
#include "same/tonefilter.h"

// A header, once.
struct headerheard {
  std::string header;          // "ZCZC-...-", without the preamble
  std::uint64_t position = 0;  // where the first burst heard began (its preamble)
  std::uint64_t end = 0;       // where the last burst it was decided on ended
  int bursts = 0;              // bursts heard when it was decided, 1 to 3
  int corrected = 0;           // bits whose sum over the bursts it overrules
  double confidence = 0;       // its probability, given the sound and the tables
};

// "NNNN", once for its bursts.
struct endheard {
  std::uint64_t position = 0;  // where its first burst heard began
};

// The message's own sound begins: right after its header's last burst.
struct messagestarts {
  std::uint64_t position = 0;
};

// The message's own sound ends: where the end of message's first burst
// begins, or, when none is heard, 3 minutes on or where the sound ends.
struct messageends {
  std::uint64_t position = 0;
  bool endheard = false;  // whether an "NNNN" ended it
};

using demodevent = std::variant<headerheard, endheard, messagestarts, messageends>;

class demodulator {
 public:
  // A demodulator of sound at `rate` samples a second, 8,000 to 48,000.
  explicit demodulator(int rate);
  ~demodulator();
  demodulator(const demodulator &) = delete;
  demodulator &operator=(const demodulator &) = delete;

  // Takes the next `count` samples; appends what they complete to `events`.
  void push(const std::int16_t *samples, std::size_t count, std::vector<demodevent> &events);

  // The sound has ended: settles what is pending into `events`.
  void finish(std::vector<demodevent> &events);

  // Samples taken so far.
  std::uint64_t position() const { return ring_.count(); }

  // The lowest sample rate, and the highest, that the demodulator takes.
  static constexpr int lowestrate = 8000;
  static constexpr int highestrate = 48000;

 private:
  struct burst {
    std::vector<float> llr;
    std::vector<double> ends;
    double start = 0;
  };
  // The bursts of one header, about a second apart.
  struct group {
    std::vector<burst> bursts;
    double decideby = 0;  // when it must be decided, at the latest
    double closeby = 0;   // after this, a new burst is another header's
    bool decided = false;
    headerheard heard;
    int locations = 0;
  };

  void step(std::int16_t sample, std::vector<demodevent> &events);
  void onsync(const syncfound &sync, std::vector<demodevent> &events);
  void checkburst(std::vector<demodevent> &events);
  void endburst(std::size_t bits, std::vector<demodevent> &events);
  void decide(std::vector<demodevent> &events);
  void closegroup(std::vector<demodevent> &events);
  std::vector<float> combined() const;

  int rate_;
  double period_;
  tonefilter filter_;
  envelopering ring_;
  syncsearch sync_;
  double grid_;
  std::optional<burstreader> reader_;
  std::size_t checked_ = 0;  // characters of the burst being read looked at
  std::optional<group> group_;
  std::string lastheader_;  // the header given out last, and when its bursts ended
  double lastheaderend_ = -1e30;
  double lastend_ = -1e30;  // when the last "NNNN" was heard
  std::optional<double> message_;  // where the message's sound began, while it lasts
};

#endif  // ZUD_SAME_DEMODULATOR_H
