// samefilter.h -- which headers heard by a line source go on.
//
// A weather radio filters in hardware: it passes only the events and
// counties it is set to.  A software-defined radio hears everything in
// range, so zud filters the headers of its line sources itself, with the
// same `fips` and `event` values the receiver is configured with, and drops
// the same header heard again shortly after (two radios on one station, a
// decoder that prints each of the three bursts).  Both are pure: the values
// and the instants are handed in.
#ifndef ZUD_SAMEFILTER_H
#define ZUD_SAMEFILTER_H

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// The configured values.  A value that is not a code (the unset "??????" and
// "???", an empty slot) is no choice; an item without any code passes
// everything.
struct samefilter {
  std::vector<std::string> fips;    // PSSCCC
  std::vector<std::string> events;  // EEE
};

// SAME location matching of a configured code against a heard one, as
// receivers do it: "000000" is everywhere; states must agree; county "000"
// is the whole state; the portion digit (P) 0 is the whole county, so a
// county matches any portion when either side's digit is 0.
bool locationmatches(std::string_view wanted, std::string_view heard);

// Whether a header ("ZCZC-ORG-EEE-PSSCCC-...+TTTT-JJJHHMM-STATION-") passes:
// its event among the events and one of its locations matching one of the
// fips values.  A header whose event or locations cannot be read passes, so
// that the decoder says what is wrong with it.
bool passes(const samefilter &filter, std::string_view header);

// The same header heard again within the span of its last hearing is a
// repeat.
class repeatwindow {
 public:
  explicit repeatwindow(std::int64_t spanms) : spanms_(spanms) {}
  // Whether `header` was last heard less than the span before `nowms`
  // (monotonic milliseconds); either way it is last heard now.
  bool repeat(const std::string &header, std::int64_t nowms);

 private:
  std::int64_t spanms_;
  std::map<std::string, std::int64_t> lastheard_;
};

#endif  // ZUD_SAMEFILTER_H
