// headersearch.cpp -- the header's fields, each scored over its values.
//
// Scores are natural logarithms of likelihood ratios against "these bits
// are random": a character whose 8 bits the soft sums back gets up to
// 8 ln 2, one they contradict loses about the sum of the contradicted
// ratios, and a character nobody heard scores 0 whatever it is.  So headers
// of different lengths compare fairly: each is judged on its own bits, and
// what lies beyond its end counts for none of them.
#include "same/headersearch.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>

#include "same/decoder.h"
#include "same/national_all.h"

namespace {

constexpr int mostlocations = 31;
// The share of the prior for a value of the right kind that the tables do
// not hold.
constexpr double unknownshare = 0.01;
// The prior of "no header at all", against that of any header.
constexpr double noheadershare = 0.5;

constexpr double minusinfinity = -std::numeric_limits<double>::infinity();
const double ln2 = std::log(2.0);

// ln(e^a + e^b).
double logadd(double a, double b) {
  if (a < b) std::swap(a, b);
  if (b == minusinfinity) return a;
  return a + std::log1p(std::exp(b - a));
}

// ln(1 + e^x), without overflow.
double softplus(double x) { return x > 0 ? x + std::log1p(std::exp(-x)) : std::log1p(std::exp(x)); }

// Every character's score for each of the 256 byte values, as two halves:
// the low nibble's 4 bits and the high nibble's.
class charscores {
 public:
  charscores(const std::vector<float> &llr, std::size_t chars) : tables_(chars) {
    for (std::size_t c = 0; c < chars; ++c) {
      std::array<double, 8> one{};
      std::array<double, 8> zero{};
      for (int b = 0; b < 8; ++b) {
        const std::size_t i = c * 8 + static_cast<std::size_t>(b);
        const double l = i < llr.size() ? llr[i] : 0.0;
        // ln(2 P(bit | soft value)) for a 1 and for a 0.
        one[b] = ln2 - softplus(-l);
        zero[b] = ln2 - softplus(l);
      }
      for (unsigned v = 0; v < 16; ++v) {
        double low = 0;
        double high = 0;
        for (int b = 0; b < 4; ++b) {
          const bool set = ((v >> b) & 1) != 0;
          low += set ? one[b] : zero[b];
          high += set ? one[b + 4] : zero[b + 4];
        }
        tables_[c][v] = low;
        tables_[c][16 + v] = high;
      }
    }
  }

  // The score of byte `v` at character `c`; 0 past the bits heard.
  double score(std::size_t c, unsigned char v) const {
    if (c >= tables_.size()) return 0;
    return tables_[c][v & 15] + tables_[c][16 + (v >> 4)];
  }
  double text(std::size_t c, std::string_view s) const {
    double total = 0;
    for (std::size_t i = 0; i < s.size(); ++i) total += score(c + i, static_cast<unsigned char>(s[i]));
    return total;
  }
  std::size_t size() const { return tables_.size(); }

 private:
  std::vector<std::array<double, 32>> tables_;
};

// The score of one byte value at one character, worked out when asked:
// cheaper than whole tables when a few characters are looked at.
struct onecharscore {
  const std::vector<float> &llr;
  std::size_t chars;
  double score(std::size_t c, unsigned char v) const {
    if (c >= chars) return 0;
    double total = 0;
    for (std::size_t b = 0; b < 8; ++b) {
      const std::size_t i = c * 8 + b;
      const double l = i < llr.size() ? llr[i] : 0.0;
      total += ln2 - softplus(((v >> b) & 1) != 0 ? -l : l);
    }
    return total;
  }
};

// One field's verdict: its most likely value with that value's score and
// log prior, and the log of the prior-weighted sum over all its values.
struct fieldresult {
  std::string best;
  double bestscore = 0;
  double logsum = 0;
};

// What a field may hold: values the tables know (all of one length), and
// for each of its characters the characters of its kind.
struct fieldkind {
  std::vector<std::string> known;
  std::vector<std::string_view> kinds;
  double logknownprior = 0;    // ln((1 - unknownshare) / |known|)
  double logunknownprior = 0;  // ln(unknownshare / (|all| - |known|))

  fieldkind(std::vector<std::string> values, std::vector<std::string_view> characters)
      : known(std::move(values)), kinds(std::move(characters)) {
    double all = 1;
    for (const std::string_view k : kinds) all *= static_cast<double>(k.size());
    logknownprior = std::log((1 - unknownshare) / static_cast<double>(known.size()));
    logunknownprior = all > static_cast<double>(known.size())
                          ? std::log(unknownshare / (all - static_cast<double>(known.size())))
                          : minusinfinity;
  }
};

constexpr std::string_view digits = "0123456789";
constexpr std::string_view capitals = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr std::string_view stationknown = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/ ";
// Printable ASCII but the two characters that delimit the header's fields.
constexpr std::string_view stationany =
    " !\"#$%&'()*,./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~";

std::vector<std::string> numbers(int from, int to, int width) {
  std::vector<std::string> all;
  for (int n = from; n <= to; ++n) {
    char text[8];
    std::snprintf(text, sizeof text, "%0*d", width, n);
    all.emplace_back(text);
  }
  return all;
}

struct kinds {
  fieldkind originator, event, purge, day, hour, minute, station, portion;
  std::vector<std::string> places;  // SSCCC: counties and whole states, not the nation
  double logplaceprior = 0;         // a known location's prior, (portion, place) or 000000
  double logplaceunknown = 0;

  static std::vector<std::string> codes(const origcode *table) {
    std::vector<std::string> all;
    for (; table->ocode != nullptr; ++table) all.emplace_back(table->ocode);
    return all;
  }
  static std::vector<std::string> events() {
    std::vector<std::string> all;
    for (const eventcode *e = eventcodes; e->ecode != nullptr; ++e) all.emplace_back(e->ecode);
    return all;
  }
  static std::vector<std::string> purges() {
    std::vector<std::string> all;
    for (int hours = 0; hours <= 99; ++hours) {
      for (int minutes = 0; minutes < 60; minutes += 15) {
        char text[8];
        std::snprintf(text, sizeof text, "%02d%02d", hours, minutes);
        all.emplace_back(text);
      }
    }
    return all;
  }

  kinds()
      : originator(codes(origcodes), {capitals, capitals, capitals}),
        event(events(), {capitals, capitals, capitals}),
        purge(purges(), {digits, digits, digits, digits}),
        day(numbers(1, 366, 3), {digits, digits, digits}),
        hour(numbers(0, 23, 2), {digits, digits}),
        minute(numbers(0, 59, 2), {digits, digits}),
        station({}, {}),
        portion(numbers(0, 9, 1), {digits}) {
    for (const char c : stationknown) station.known.emplace_back(1, c);
    station = fieldkind(station.known, {stationany});
    for (const fips_name &row : fips_all) places.emplace_back(row.fips_code);
    for (const fips_state &state : fips_states) places.push_back(std::string(state.fips_prefix) + "000");
    const double known = 10.0 * static_cast<double>(places.size()) + 1;
    logplaceprior = std::log((1 - unknownshare) / known);
    logplaceunknown = std::log(unknownshare / (1e6 - known));
  }
};

const kinds &fieldkinds() {
  static const kinds all;
  return all;
}

// ln(e^all - e^part), or minus infinity when part holds all of it.
double logminus(double all, double part) {
  if (part == minusinfinity) return all;
  const double rest = -std::expm1(part - all);
  return rest > 1e-12 ? all + std::log(rest) : minusinfinity;
}

// The known values at character `at`: the best, and the log of all their
// likelihoods summed.
struct knownscore {
  std::size_t top = 0;
  double topscore = minusinfinity;
  double logsum = minusinfinity;
};

template <typename Values>
knownscore scoreknown(const charscores &scores, std::size_t at, const Values &values) {
  knownscore known;
  std::vector<double> each(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    each[i] = scores.text(at, values[i]);
    if (each[i] > known.topscore) {
      known.topscore = each[i];
      known.top = i;
    }
  }
  double sum = 0;
  for (const double s : each) sum += std::exp(s - known.topscore);
  known.logsum = known.topscore + std::log(sum);
  return known;
}

// Any value of `length` characters at `at`, character c one of
// alphabet(c), each on its own: the log of all their likelihoods summed,
// and the best with its score.
struct freescore {
  double logall = 0;
  std::string best;
  double bestscore = 0;
};

template <typename Alphabet>
freescore scorefree(const charscores &scores, std::size_t at, std::size_t length,
                    Alphabet alphabet) {
  freescore free;
  for (std::size_t c = 0; c < length; ++c) {
    double charsum = minusinfinity;
    double best = minusinfinity;
    char bestchar = alphabet(c)[0];
    for (const char v : alphabet(c)) {
      const double s = scores.score(at + c, static_cast<unsigned char>(v));
      charsum = logadd(charsum, s);
      if (s > best) {
        best = s;
        bestchar = v;
      }
    }
    free.logall += charsum;
    free.best += bestchar;
    free.bestscore += best;
  }
  return free;
}

// The field of `kind` at character `at`.
fieldresult scorefield(const charscores &scores, std::size_t at, const fieldkind &kind) {
  fieldresult result;
  const knownscore known = scoreknown(scores, at, kind.known);
  const double top = known.topscore;
  const std::size_t topat = known.top;
  const double logknown = known.logsum;

  // Any value of the right kind: each character on its own.
  const freescore any = scorefree(scores, at, kind.kinds.size(),
                                  [&](std::size_t c) { return kind.kinds[c]; });
  const double logall = any.logall;
  const std::string &free = any.best;
  const double freescore = any.bestscore;
  const double logunknown = logminus(logall, logknown);
  result.logsum = logadd(kind.logknownprior + logknown, kind.logunknownprior + logunknown);
  result.best = kind.known[topat];
  result.bestscore = kind.logknownprior + top;
  const bool freeisknown =
      std::find(kind.known.begin(), kind.known.end(), free) != kind.known.end();
  if (!freeisknown && kind.logunknownprior + freescore > result.bestscore) {
    result.best = free;
    result.bestscore = kind.logunknownprior + freescore;
  }
  return result;
}

// A location, PSSCCC, at character `at`.
fieldresult scorelocation(const charscores &scores, std::size_t at) {
  const kinds &k = fieldkinds();
  const fieldresult portion = scorefield(scores, at, k.portion);
  // The portion's own prior is folded into the location's below.
  const double portionlog = portion.logsum - k.portion.logknownprior;
  const knownscore places = scoreknown(scores, at + 1, k.places);
  const double top = places.topscore;
  const std::size_t topat = places.top;
  const double nation = scores.text(at, "000000");
  const double logknown = logadd(portionlog + places.logsum, nation);

  const freescore any = scorefree(scores, at, 6, [](std::size_t) { return digits; });
  const double logall = any.logall;
  const std::string &free = any.best;
  const double freescore = any.bestscore;
  fieldresult result;
  result.logsum = logadd(k.logplaceprior + logknown, k.logplaceunknown + logminus(logall, logknown));
  // The best portion digit is the best of the portion field alone.
  const std::string portionbest = portion.best;
  const double portionscore = portion.bestscore - k.portion.logknownprior;
  result.best = portionbest + k.places[topat];
  result.bestscore = k.logplaceprior + portionscore + top;
  if (k.logplaceprior + nation > result.bestscore) {
    result.best = "000000";
    result.bestscore = k.logplaceprior + nation;
  }
  const bool freeisknown =
      free == "000000" ||
      std::find(k.places.begin(), k.places.end(), free.substr(1)) != k.places.end();
  if (!freeisknown && k.logplaceunknown + freescore > result.bestscore) {
    result.best = free;
    result.bestscore = k.logplaceunknown + freescore;
  }
  return result;
}

fieldresult fixedtext(const charscores &scores, std::size_t at, std::string_view text) {
  fieldresult result;
  result.best = std::string(text);
  result.bestscore = result.logsum = scores.text(at, text);
  return result;
}

// Where each field of a header with `locations` locations begins.
constexpr std::size_t locationat(int index) { return 13 + 7 * static_cast<std::size_t>(index); }
constexpr std::size_t tailat(int locations) { return locationat(locations); }

// A field that lies wholly past the bits heard weighs nothing either way:
// its score is 0 for every value and its priors sum to 1.
bool unheard(const charscores &scores, std::size_t at) { return at >= scores.size(); }

// The fields after the locations: +TTTT-JJJHHMM-LLLLLLLL-, the "+" at `at` - 1.
void scoretail(const charscores &scores, std::size_t at, std::vector<fieldresult> &fields) {
  const kinds &k = fieldkinds();
  fields.push_back(fixedtext(scores, at - 1, "+"));
  fields.push_back(scorefield(scores, at, k.purge));
  fields.push_back(fixedtext(scores, at + 4, "-"));
  fields.push_back(scorefield(scores, at + 5, k.day));
  fields.push_back(scorefield(scores, at + 8, k.hour));
  fields.push_back(scorefield(scores, at + 10, k.minute));
  fields.push_back(fixedtext(scores, at + 12, "-"));
  for (std::size_t c = 0; c < 8; ++c) fields.push_back(scorefield(scores, at + 13 + c, k.station));
  fields.push_back(fixedtext(scores, at + 21, "-"));
}

}  // namespace

std::size_t headerlength(int locations) { return tailat(locations) + 22; }

headerguess searchheader(const std::vector<float> &llr) {
  const kinds &k = fieldkinds();
  const std::size_t chars = std::min(llr.size() / 8 + 1, headerlength(mostlocations));
  const charscores scores(llr, chars);

  std::vector<fieldresult> head;
  head.push_back(fixedtext(scores, 0, "ZCZC-"));
  head.push_back(scorefield(scores, 5, k.originator));
  head.push_back(fixedtext(scores, 8, "-"));
  head.push_back(scorefield(scores, 9, k.event));
  // Each location and the "-" after it, when another follows.
  std::vector<fieldresult> places;
  std::vector<fieldresult> dashes;
  for (int i = 0; i < mostlocations; ++i) {
    if (unheard(scores, locationat(i))) {
      places.push_back(fieldresult{"000000", 0, 0});
      dashes.push_back(fieldresult{"-", 0, 0});
      continue;
    }
    places.push_back(scorelocation(scores, locationat(i)));
    dashes.push_back(fixedtext(scores, locationat(i) - 1, "-"));
  }

  double headbest = 0;
  double headsum = 0;
  for (const fieldresult &f : head) {
    headbest += f.bestscore;
    headsum += f.logsum;
  }
  const double loglengthprior = -std::log(static_cast<double>(mostlocations));
  double total = minusinfinity;
  double best = minusinfinity;
  int bestlocations = 0;
  std::vector<fieldresult> bestfields;
  double placesbest = 0;
  double placessum = 0;
  for (int n = 1; n <= mostlocations; ++n) {
    placesbest += dashes[n - 1].bestscore + places[n - 1].bestscore;
    placessum += dashes[n - 1].logsum + places[n - 1].logsum;
    std::vector<fieldresult> tail;
    if (!unheard(scores, tailat(n) - 1)) scoretail(scores, tailat(n), tail);
    double tailbest = 0;
    double tailsum = 0;
    for (const fieldresult &f : tail) {
      tailbest += f.bestscore;
      tailsum += f.logsum;
    }
    total = logadd(total, loglengthprior + headsum + placessum + tailsum);
    const double score = loglengthprior + headbest + placesbest + tailbest;
    if (score > best && !tail.empty()) {
      best = score;
      bestlocations = n;
      bestfields = tail;
    }
  }
  headerguess guess;
  if (bestlocations == 0) return guess;
  const double nothing = std::log(noheadershare);
  const double some = std::log(1 - noheadershare);
  total = logadd(nothing, some + total);
  guess.confidence = std::exp(some + best - total);
  guess.locations = bestlocations;
  for (const fieldresult &f : head) guess.text += f.best;
  for (int i = 0; i < bestlocations; ++i) {
    guess.text += dashes[i].best;
    guess.text += places[i].best;
  }
  for (const fieldresult &f : bestfields) guess.text += f.best;
  for (std::size_t i = 0; i < guess.text.size() * 8 && i < llr.size(); ++i) {
    const bool one = ((static_cast<unsigned char>(guess.text[i / 8]) >> (i % 8)) & 1) != 0;
    if ((llr[i] > 0 && !one) || (llr[i] < 0 && one)) ++guess.corrected;
  }
  return guess;
}

int settledlocations(const std::vector<float> &llr, std::size_t chars, double sure) {
  const std::size_t heard = std::min(chars, headerlength(mostlocations));
  const onecharscore scores{llr, heard};
  // Only the separators: "-" after each location but the last, "+" after
  // the last, and the three "-" of the tail.
  double dashes = 0;
  double total = minusinfinity;
  double best = minusinfinity;
  int bestlocations = 0;
  for (int n = 1; n <= mostlocations; ++n) {
    const std::size_t plus = tailat(n) - 1;
    const double score = dashes + scores.score(plus, '+') + scores.score(plus + 5, '-') +
                         scores.score(plus + 13, '-') + scores.score(plus + 22, '-');
    dashes += scores.score(plus, '-');
    total = logadd(total, score);
    if (score > best) {
      best = score;
      bestlocations = n;
    }
  }
  if (std::exp(best - total) < sure || headerlength(bestlocations) > heard) return 0;
  return bestlocations;
}
