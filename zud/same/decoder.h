// decoder.h -- SAME alert header decoding and its code tables.
//
// The receiver hands over each SAME header it hears as one line of text:
//
//   <15 or 16 bytes 0xAB>ZCZC-ORG-EEE-PSSCCC[-PSSCCC...]+TTTT-JJJHHMM-STATION-
//
// decodesame() reads such a line into the values of one weather.alert
// (originator, event, one text per location code, duration, local issue date
// and time, sending station), or into the reason it is rejected.  It is pure:
// it sends nothing and keeps nothing between calls; only the clock and the
// local time zone are read, for the issue date.  outputs/xploutput.h turns the values
// into messages.
#ifndef ZUD_DECODER_H
#define ZUD_DECODER_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

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

// One decoded alert: the values of its weather.alert trigger, in the order
// the trigger carries them, then the header's own codes and instants for
// whatever keeps or passes on the alert besides the trigger.
struct alert {
  std::string originator;
  std::string event;
  std::vector<std::string> locations;  // one per location code, in header order
  std::string duration;
  std::string date;
  std::string time;
  std::string source;

  std::string header;          // the line from "ZCZC-" on, as printable text
  std::string originatorcode;  // "WXR", as heard
  std::string eventcode;       // "TOR", as heard
  std::vector<std::string> locationcodes;  // "016001", one per location
  std::string purge;           // "0045", the four digits as heard
  std::time_t issued = 0;      // UTC instant of issue
  std::time_t expires = 0;     // issue + purge, rounded as the NWS does
};

// An end-of-message header ("NNNN"): nothing to send, nothing wrong.
struct endofmessage {};

// A line that cannot be read as a header.
struct rejection {
  std::string text;    // the line for standard error, without its line feed
  std::string reason;  // why, without the line ("cannot read date/time")
};

// What one header line turns out to be.
using decoding = std::variant<alert, endofmessage, rejection>;

// Local issue date ("%04d%02d%02d") and time ("%02d%02d%02d") of an instant.
struct issuetime {
  std::string date;
  std::string time;
  std::time_t instant = 0;
};

// Decodes one header line (its line end removed), heard at `received`,
// naming locations as `names` says.  The instant only settles the year of
// the issue time.
decoding decodesame(std::string_view line, CountyNames names, std::time_t received);
// The same, heard now.
decoding decodesame(std::string_view line, CountyNames names);

// Writes the text of location code lcode (PSSCCC) into data[datasize].
void parsefips(const char *lcode, char *data, CountyNames names = CountyNames::singleWord);

// Local date and time of an instant, in the forms the trigger carries.
issuetime localissuetime(std::time_t instant);

// Local date and time of a UTC day of the year, hour and minute of a header
// heard at `received` (the year as issueinstant() settles it); nothing if no
// such day.
std::optional<issuetime> outputdates(int days, int hours, int minutes, std::time_t received);

// The description of an event code ("Tornado Warning" for TOR), or null.
const char *eventdescription(std::string_view code);

// The county name of the exact 5-character code, or null.
const char *fips_lookup_county(const char *code);

// The two-letter state of the exact 5-character county code, or null.
const char *fips_lookup_state(const char *code);

#endif  // ZUD_DECODER_H
