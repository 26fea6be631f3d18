// demodulator.cpp -- bursts found, read, grouped and decided.
#include "same/demodulator.h"

#include <algorithm>
#include <cmath>

#include "same/headersearch.h"

namespace {

// A header comes out only when this probable.  The probability is honest:
// on generated noise, headers found at 0.5 to 0.999 were wrong as often as
// it says or a little less (bench/README.md), so at most one in a thousand
// given out at the edge is wrong, and far fewer of all given out.  Two
// clean bursts reach 1 - 1e-9; one alone, with its bits held below
// certainty (burstreader.cpp), reaches it only for a header of fewer than
// ten locations, which has fewer valid neighbours.
constexpr double mustbe = 0.999;
// The separators settle a burst's length when this probable.
constexpr double lengthsure = 0.999;
// Seconds after a burst by which its header is decided, and after which a
// new burst starts another header.
constexpr double decideafter = 1.5;
constexpr double joinwithin = 3.5;
// A header heard again within this many seconds is a repeat.
constexpr double repeatwithin = 10;
// An "NNNN" heard again within this many seconds is the same one.
constexpr double endrepeatwithin = 5;
// A message's sound lasts 2 minutes at most; without an end of message it
// is taken to end after this many seconds.
constexpr double longestmessage = 180;
// A burst has ended when two characters running carry less than this
// share of the tone energy its known bits had.
constexpr float faded = 0.25f;
// Bits from the first of "ZCZC" back to where the preamble began.
constexpr int preamblebits = 128;

std::uint64_t sampleat(double t) { return t <= 0 ? 0 : static_cast<std::uint64_t>(std::lround(t)); }

}  // namespace

demodulator::demodulator(int rate)
    : rate_(std::clamp(rate, lowestrate, highestrate)),
      period_(rate_ / samebaud),
      filter_(rate_),
      // Enough for a burst's preamble and the search's wait behind it.
      ring_(rate_, 1.0),
      sync_(period_),
      grid_(0) {}

demodulator::~demodulator() = default;

void demodulator::push(const std::int16_t *samples, std::size_t count,
                       std::vector<demodevent> &events) {
  for (std::size_t i = 0; i < count; ++i) step(samples[i], events);
}

void demodulator::step(std::int16_t sample, std::vector<demodevent> &events) {
  ring_.push(filter_.step(sample));
  const double now = static_cast<double>(ring_.count());
  // Soft bits for the search, eight a bit.
  while (ring_.holds(grid_)) {
    const float soft = softbit(ring_.at(grid_));
    if (const std::optional<syncfound> found = sync_.push(soft, grid_)) onsync(*found, events);
    grid_ += period_ / 8;
  }
  if (reader_) {
    reader_->read(ring_);
    checkburst(events);
  }
  if (group_ && !reader_) {
    if (!group_->decided && now >= group_->decideby) {
      decide(events);
      // Not sure enough: only another burst can change that.
      group_->decideby = group_->closeby;
    }
    if (now >= group_->closeby) closegroup(events);
  }
  if (message_ && !group_ && now - *message_ > longestmessage * rate_) {
    events.emplace_back(messageends{sampleat(now), false});
    message_.reset();
  }
}

void demodulator::onsync(const syncfound &found, std::vector<demodevent> &events) {
  const double start = found.time - (synctextbits + preamblebits) * found.period;
  if (reader_) {
    // A new burst ends the one being read, whatever its last bytes held.
    const std::vector<double> &ends = reader_->ends();
    const auto before = static_cast<std::size_t>(
        std::lower_bound(ends.begin(), ends.end(), start) - ends.begin());
    endburst(before, events);
  }
  if (found.endofmessage) {
    if (group_) closegroup(events);
    if (message_) {
      events.emplace_back(messageends{sampleat(start), true});
      message_.reset();
    }
    if (start - lastend_ > endrepeatwithin * rate_) events.emplace_back(endheard{sampleat(start)});
    lastend_ = start;
    return;
  }
  if (group_ && (start > group_->closeby || group_->bursts.size() >= 3)) closegroup(events);
  if (message_ && !group_) {
    // A new header before the last message's end: that message is over.
    events.emplace_back(messageends{sampleat(start), false});
    message_.reset();
  }
  reader_.emplace(found, ring_, rate_);
  checked_ = 0;
}

std::vector<float> demodulator::combined() const {
  std::vector<float> sum;
  auto add = [&sum](const std::vector<float> &bits) {
    if (bits.size() > sum.size()) sum.resize(bits.size(), 0.0f);
    for (std::size_t i = 0; i < bits.size(); ++i) sum[i] += bits[i];
  };
  if (group_) {
    for (const burst &b : group_->bursts) add(b.llr);
  }
  if (reader_) add(reader_->bits());
  return sum;
}

void demodulator::checkburst(std::vector<demodevent> &events) {
  const std::size_t chars = reader_->bits().size() / 8;
  while (checked_ < chars) {
    const std::size_t c = checked_++;
    // The tone faded for two characters: the burst ended before them.
    const std::vector<float> &presence = reader_->presence();
    auto faint = [&presence](std::size_t at) {
      float sum = 0;
      for (std::size_t i = at * 8; i < at * 8 + 8; ++i) sum += presence[i];
      return sum / 8 < faded;
    };
    if (c >= 1 && faint(c) && faint(c - 1)) {
      endburst((c - 1) * 8, events);
      return;
    }
    // The separators say how long the header is, and all of it is here.
    const std::size_t heard = c + 1;
    const bool maybelast = heard >= headerlength(1) && (heard - headerlength(1)) % 7 == 0;
    if (maybelast) {
      const int locations = settledlocations(combined(), heard, lengthsure);
      if (locations > 0 && headerlength(locations) == heard) {
        endburst(heard * 8, events);
        return;
      }
    }
    if (heard >= headerlength(31)) {
      endburst(heard * 8, events);
      return;
    }
  }
}

void demodulator::endburst(std::size_t bits, std::vector<demodevent> &events) {
  reader_->truncate(bits);
  burst done;
  done.llr = reader_->bits();
  done.ends = reader_->ends();
  done.start = reader_->start();
  reader_.reset();
  const double end = done.ends.empty() ? done.start : done.ends.back();
  if (!group_) group_ = group();
  group_->bursts.push_back(std::move(done));
  group_->decideby = end + decideafter * rate_;
  group_->closeby = end + joinwithin * rate_;
  if (!group_->decided && group_->bursts.size() >= 2) decide(events);
  if (group_->bursts.size() >= 3) closegroup(events);
}

void demodulator::decide(std::vector<demodevent> &events) {
  if (group_->decided) return;
  const headerguess guess = searchheader(combined());
  if (guess.confidence < mustbe) return;
  const burst &first = group_->bursts.front();
  const burst &latest = group_->bursts.back();
  headerheard heard;
  heard.header = guess.text;
  heard.position = sampleat(first.start);
  heard.end = sampleat(latest.ends.empty() ? latest.start : latest.ends.back());
  heard.bursts = static_cast<int>(group_->bursts.size());
  heard.corrected = guess.corrected;
  heard.confidence = guess.confidence;
  group_->decided = true;
  group_->heard = heard;
  group_->locations = guess.locations;
  const bool repeat =
      heard.header == lastheader_ && first.start - lastheaderend_ < repeatwithin * rate_;
  if (!repeat) events.emplace_back(heard);
}

void demodulator::closegroup(std::vector<demodevent> &events) {
  if (!group_->decided) decide(events);
  if (group_->decided) {
    // The message's sound follows the last burst's last character.
    const burst &latest = group_->bursts.back();
    const std::size_t bits = headerlength(group_->locations) * 8;
    const double end = bits <= latest.ends.size() ? latest.ends[bits - 1]
                       : latest.ends.empty()      ? latest.start
                                                  : latest.ends.back();
    const bool repeat = group_->heard.header == lastheader_ &&
                        group_->bursts.front().start - lastheaderend_ < repeatwithin * rate_;
    if (!repeat) {
      if (message_) events.emplace_back(messageends{sampleat(group_->bursts.front().start), false});
      events.emplace_back(messagestarts{sampleat(end)});
      message_ = end;
    }
    lastheader_ = group_->heard.header;
    lastheaderend_ = end;
  }
  group_.reset();
}

void demodulator::finish(std::vector<demodevent> &events) {
  if (reader_) endburst(reader_->bits().size(), events);
  if (group_) closegroup(events);
  if (message_) {
    events.emplace_back(messageends{ring_.count(), false});
    message_.reset();
  }
}
