// headersearch.h -- the most likely valid SAME header given soft bits.
//
// A header is laid out as ZCZC-ORG-EEE-PSSCCC(-PSSCCC)...+TTTT-JJJHHMM-
// LLLLLLLL- with 1 to 31 locations, and most of its fields take few values:
// 5 originators, 83 events, the counties of the table with a portion digit,
// a whole state SS000 or the nation 000000, a purge time in quarter hours,
// a day of the year, an hour, a minute.  Given the number of locations, the
// fields lie at fixed places and their bits are independent, so the most
// likely header is each field's most likely value, and the probability of
// every header at once is a product of per-field sums: the search gives the
// header's posterior probability exactly, over every header of every
// length, plus the chance that the bits are no header at all.
//
// A value that the tables do not hold (a new county, a marine zone) keeps a
// small share of the prior, so that a clean header with it comes out as
// heard rather than "corrected" into its nearest valid neighbour, and an
// unclear one comes out not at all.  Pure: numbers in, text out.
#ifndef ZUD_SAME_HEADERSEARCH_H
#define ZUD_SAME_HEADERSEARCH_H

#include <cstddef>
#include <string>
#include <vector>

// The header the soft bits most likely carry.
struct headerguess {
  std::string text;        // "ZCZC-...-"
  double confidence = 0;   // its posterior probability
  int locations = 0;       // how many location codes it has
  int corrected = 0;       // bits whose soft sum it overrules
};

// The most likely header given one log-likelihood ratio per bit (positive:
// mark, a 1), from the first bit of "ZCZC" on, as the bursts add up.
headerguess searchheader(const std::vector<float> &llr);

// Characters in a header of `locations` location codes.
std::size_t headerlength(int locations);

// How many locations the separators alone point to, if one count has at
// least `sure` of the probability and its last character is within the
// first `chars`; 0 otherwise.  Cheap enough to ask at every character.
int settledlocations(const std::vector<float> &llr, std::size_t chars, double sure);

#endif  // ZUD_SAME_HEADERSEARCH_H
