// burstsync.cpp -- the preamble and "ZCZC" or "NNNN" found in soft bits.
#include "same/burstsync.h"

#include <cmath>

namespace {

constexpr unsigned char preamblebyte = 0xAB;
constexpr char headertext[] = "ZCZC";
constexpr char endtext[] = "NNNN";

// A burst is taken when its pattern correlates at least this well, and its
// text part alone at least as well as the second figure: noise alone stays
// below 0.25 over 80 bits, and a burst at 8 dB Eb/N0 reaches about 0.6.
// Shifted by 7 bits, the preamble itself matches "ZCZC" at 0.375 and
// "NNNN" at 0.25, so the text must do better than that.
constexpr float headerscore = 0.34f;
constexpr float headertextscore = 0.4f;
// An end of message carries nothing to check it by afterwards, so it must
// be clearer.
constexpr float endscore = 0.5f;
constexpr float endtextscore = 0.5f;

// The least share of the soft bits' magnitude that the correlation must
// reach: up to 0.53 within a header's text, 0.96 for a burst at 8 dB.
constexpr float agreement = 0.7f;
// Points a bit is sampled at; the search's time step is a bit over this.
constexpr int pointsperbit = 8;
// A point that passes is the burst's only once nothing better has come
// for this many bits: the preamble's repeats match the pattern partly
// well before the text arrives.
constexpr int confirmbits = 40;
// After a burst is found its own text is passed over: noise could make a
// weaker echo of the pattern a few bits on.
constexpr int holdoffbits = 64;

}  // namespace

int syncbit(int i, bool endofmessage) {
  if (i < syncpreamblebits) return ((preamblebyte >> (i % 8)) & 1) != 0 ? 1 : -1;
  const int bit = i - syncpreamblebits;
  const char *text = endofmessage ? endtext : headertext;
  const auto byte = static_cast<unsigned char>(text[bit / 8]);
  return ((byte >> (bit % 8)) & 1) != 0 ? 1 : -1;
}

syncsearch::syncsearch(double period) : period_(period) {
  for (int i = 0; i < syncbits; ++i) {
    pattern_[0][i] = static_cast<float>(syncbit(i, false));
    pattern_[1][i] = static_cast<float>(syncbit(i, true));
  }
  for (int s = 0; s < scales; ++s) {
    // Bit periods 1 % short to 1 % long, in steps of 0.5 %.
    const double scale = 1 + 0.005 * (s - scales / 2);
    for (int i = 0; i < syncbits; ++i) {
      lags_[s][i] = static_cast<std::size_t>(std::lround(pointsperbit * scale * (syncbits - 1 - i)));
    }
  }
}

std::optional<syncfound> syncsearch::push(float soft, double time) {
  const std::size_t now = count_++;
  soft_[now % ringsize] = soft;
  times_[now % ringsize] = time;
  if (holdoff_ > 0) --holdoff_;

  std::optional<syncfound> found;
  if (best_ && ++sincebest_ > confirmbits * pointsperbit) {
    // Nothing better since the best point: the burst's pattern has gone by.
    found = best_;
    best_.reset();
    holdoff_ = holdoffbits * pointsperbit;
  }
  if (holdoff_ > 0 || now < lags_[scales - 1][0]) return found;

  for (int s = 0; s < scales; ++s) {
    const std::array<std::size_t, syncbits> &lag = lags_[s];
    float preamble = 0;
    for (int i = 0; i < syncpreamblebits; ++i) {
      preamble += pattern_[0][i] * soft_[(now - lag[i]) % ringsize];
    }
    // Most points are nowhere near a preamble: the text is not looked at.
    if (preamble < 0.25f * syncpreamblebits) continue;
    float magnitude = 0;
    for (int i = 0; i < syncbits; ++i) magnitude += std::fabs(soft_[(now - lag[i]) % ringsize]);
    for (const bool end : {false, true}) {
      float text = 0;
      for (int i = syncpreamblebits; i < syncbits; ++i) {
        text += pattern_[end ? 1 : 0][i] * soft_[(now - lag[i]) % ringsize];
      }
      const float score = (preamble + text) / syncbits;
      // Header text can look like the pattern by half; a burst's own
      // pattern agrees with the soft bits' signs nearly everywhere, at any
      // level of noise.
      if (score < agreement * magnitude / syncbits) continue;
      const float textscore = text / synctextbits;
      const bool enough = end ? score >= endscore && textscore >= endtextscore
                              : score >= headerscore && textscore >= headertextscore;
      if (!enough || (best_ && best_->score >= score)) continue;
      syncfound candidate;
      candidate.endofmessage = end;
      candidate.time = time;
      candidate.period = period_ * (1 + 0.005 * (s - scales / 2));
      candidate.score = score;
      best_ = candidate;
      sincebest_ = 0;
    }
  }
  return found;
}
