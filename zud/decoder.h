// decoder.h -- SAME alert header decoding and its code tables.
//
// The receiver hands over each SAME header it hears as one line of text:
//
//   <15 or 16 bytes 0xAB>ZCZC-ORG-EEE-PSSCCC[-PSSCCC...]+TTTT-JJJHHMM-STATION-
//
// parsesame() turns such a line into one xPL trigger of schema weather.alert
// (originator, event, one "location" per code, duration, local issue date and
// time, sending station) and broadcasts it through zudService; an alert
// whose text would not fit one datagram goes out as several such triggers,
// which share the locations between them.  A rejected line costs one line on
// standard error and nothing is sent.
#ifndef ZUD_DECODER_H
#define ZUD_DECODER_H

#include <cstddef>
#include <cstdint>

#include "xPL.h"

// One originator code and its description.
struct origcode {
  const char *ocode;
  const char *odesc;
};

// One event code and its description.
struct eventcode {
  const char *ecode;
  const char *edesc;
};

// The originator codes, ended by an entry whose ocode is null.
extern const origcode origcodes[6];
// The event codes sorted by code, ended by an entry whose ecode is null.
extern const eventcode eventcodes[84];
// Days of the year before each month and the year's length: row 0 for normal
// years, row 1 for leap years.
extern const std::uint16_t mon_yday[2][13];

// The gateway's service, source of every alert; set once at start-up.
extern xPL_ServicePtr zudService;
// The alert while parsesame() builds it; null outside a call.
extern xPL_MessagePtr zudMessage;

// Size of a value buffer handed to parsefips(): at most 127 characters + NUL.
inline constexpr std::size_t datasize = 128;

// How a location code is put into words.
enum class CountyNames {
  // The 2,920 single-word names of national.h; anything else reads
  // "County CCC State SS".
  singleWord,
  // Every county of national_all.h with its state's abbreviation, a whole
  // state as "All of" and its name, 000000 as "United States".
  all,
};

// The decoder's one setting, chosen once at start-up (zud --all-counties).
extern CountyNames countynames;

// Echoes one header line on stdout, then sends its alert or writes one error on stderr.
void parsesame(const unsigned char *same);

// Writes the text of location code lcode (PSSCCC) into data[datasize].
void parsefips(const char *lcode, char *data, CountyNames names = CountyNames::singleWord);

// Adds local "date" and "time" of a UTC day/hour/minute this year; false if no such day.
bool outputdates(int days, int hours, int minutes);

// The county name of the exact 5-character code, or null.
const char *fips_lookup_county(const char *code);

// The two-letter state of the exact 5-character county code, or null.
const char *fips_lookup_state(const char *code);

#endif  // ZUD_DECODER_H
