// decoder.cpp -- SAME alert header decoding and its code tables.
//
// Decoding is a function of the line alone (and of the clock, for the year
// of the issue date): what the values become on the wire is outputs/xploutput.cpp's job.
//
// The header is read by position: each field starts a fixed distance after
// the previous one, and separators are skipped rather than checked, except
// for the "-" between location groups, the "+" before the purge time and the
// "-" after it.  The two time fields must be whole digits, so that a lost or
// extra character rejects the line instead of shifting every later field.
// A cursor that never moves past the end of the line keeps a short or cut
// header from being read beyond its terminator: the first step that finds
// nothing to read rejects the line.
#include "same/decoder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string_view>

#include "same/lifetime.h"
#include "same/national.h"
#include "same/national_all.h"
#include "same/printable.h"

constexpr origcode origcodes[6] = {
    {"EAN", "Emergency Action Notification"},
    {"PEP", "Primary Entry Point System"},
    {"CIV", "Civil Authorities"},
    {"WXR", "National Weather Service"},
    {"EAS", "Network Broadcasters"},
    {nullptr, nullptr},
};

constexpr eventcode eventcodes[84] = {
    {"ADR", "Administrative message"},
    {"AVA", "Avalanche Watch"},
    {"AVW", "Avalanche Warning"},
    {"BHW", "Biological hazard warning"},
    {"BWW", "Boil water warning"},
    {"BZW", "Blizzard Warning"},
    {"CAE", "Child abduction emergency"},
    {"CDA", "Civil Danger Watch"},
    {"CDW", "Civil Danger Warning"},
    {"CEM", "Civil Emergency Message"},
    {"CFA", "Coastal Flood Watch"},
    {"CFW", "Coastal Flood Warning"},
    {"CHW", "Chemical hazard warning"},
    {"CWW", "Contaminated water warning"},
    {"DBA", "Dam watch"},
    {"DBW", "Dam break warning"},
    {"DEW", "Contagious disease warning"},
    {"DMO", "System Demonstration/Practice"},
    {"DSW", "Dust storm warning"},
    {"EAN", "Emergency Action Notification"},
    {"EAT", "Emergency Action Termination"},
    {"EQW", "Earthquake warning"},
    {"EVA", "Evacuation watch"},
    {"EVI", "Evacuation Immediate"},
    {"FCW", "Food contamination warning"},
    {"FFA", "Flash Flood Watch"},
    {"FFS", "Flash Flood Statement"},
    {"FFW", "Flash Flood Warning"},
    {"FLA", "Flood Watch"},
    {"FLS", "Flood Statement"},
    {"FLW", "Flood Warning"},
    {"FRW", "Fire Warning"},
    {"FSW", "Flash freeze warning"},
    {"FZW", "Freeze warning"},
    {"HLS", "Hurricane Statement"},
    {"HMW", "Hazardous Materials Warning"},
    {"HUA", "Hurricane/Tropical Storm Watch"},
    {"HUW", "Hurricane/Tropical Storm Warning"},
    {"HWA", "High Wind/Dust Storm Watch"},
    {"HWW", "High Wind/Dust Storm Warning"},
    {"IBW", "Iceberg warning"},
    {"IEW", "Immediate Evacuation Warning"},
    {"IFW", "Industrial fire warning"},
    {"LAE", "Local Area Emergency"},
    {"LEW", "Law Enforcement Warning"},
    {"LSW", "Land slide warning"},
    {"NAT", "National audible test"},
    {"NHW", "National Hazard Warning"},
    {"NIC", "National Information Center"},
    {"NMN", "Network Message Notification"},
    {"NPT", "National Periodic Test"},
    {"NST", "National silent test"},
    {"NUW", "Nuclear plant warning"},
    {"POS", "Power outage statement"},
    {"RHA", "Radiological Hazard Watch"},
    {"RHW", "Radiological Hazard Warning"},
    {"RMT", "Required Monthly Test"},
    {"RWT", "Required Weekly Test"},
    {"SMW", "Special Marine Warning"},
    {"SPS", "Special Weather Statement"},
    {"SPW", "Shelter In Place Warning"},
    {"SVA", "Severe Thunderstorm Watch"},
    {"SVR", "Severe Thunderstorm Warning"},
    {"SVS", "Severe Weather Statement"},
    {"SVW", "Severe Thunderstorm Warning"},
    {"TOA", "Tornado Watch"},
    {"TOE", "911 telephone outage emergency"},
    {"TOR", "Tornado Warning"},
    {"TOW", "Tornado Warning"},
    {"TRA", "Tropical storm watch"},
    {"TRW", "Tropical storm warning"},
    {"TSA", "Tsunami Watch"},
    {"TSW", "Tsunami Warning"},
    {"TXB", "Transmitter Backup On"},
    {"TXF", "Transmitter Carrier OFF"},
    {"TXO", "Transmitter Carrier On"},
    {"TXP", "Transmitter Primary On"},
    {"VOA", "Volcano Watch"},
    {"VOW", "Volcano Warning"},
    {"WFA", "Wild fire watch"},
    {"WFW", "Wild fire warning"},
    {"WSA", "Winter Storm Watch"},
    {"WSW", "Winter Storm Warning"},
    {nullptr, nullptr},
};

constexpr std::uint16_t mon_yday[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366},
};

namespace {

// ---------------------------------------------------------------------------
// Compile-time checks of the tables.  The lookups rely on these properties:
// the code tables end in a null entry and hold 3-letter codes, the FIPS table
// is sorted for binary search and holds only exact 5-digit county codes.
// ---------------------------------------------------------------------------

constexpr bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
constexpr bool isLetter(char c) { return isUpper(c) || (c >= 'a' && c <= 'z'); }
constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }

constexpr bool isThreeLetterCode(const char *code) {
  return code != nullptr && isUpper(code[0]) && isUpper(code[1]) && isUpper(code[2]) &&
         code[3] == '\0';
}

template <typename Entry, std::size_t N>
constexpr bool codeTableWellFormed(const Entry (&table)[N], const char *Entry::*code,
                                   const char *Entry::*desc) {
  for (std::size_t i = 0; i + 1 < N; ++i) {
    if (!isThreeLetterCode(table[i].*code) || table[i].*desc == nullptr) return false;
  }
  return table[N - 1].*code == nullptr;
}

constexpr bool eventCodesAscending() {
  for (std::size_t i = 1; i + 1 < std::size(eventcodes); ++i) {
    if (std::string_view(eventcodes[i - 1].ecode) >= std::string_view(eventcodes[i].ecode)) {
      return false;
    }
  }
  return true;
}

static_assert(std::size(origcodes) == 5 + 1);
static_assert(codeTableWellFormed(origcodes, &origcode::ocode, &origcode::odesc));
static_assert(std::size(eventcodes) == 83 + 1);
static_assert(codeTableWellFormed(eventcodes, &eventcode::ecode, &eventcode::edesc));
static_assert(eventCodesAscending(), "eventcodes must be sorted by code");

// Row `row` of mon_yday agrees with the calendar of `year`.
constexpr bool monthTableMatches(int row, int year) {
  const long long first = daysFromCivil(year, 1, 1);
  for (int month = 0; month < 12; ++month) {
    if (daysFromCivil(year, month + 1, 1) - first != mon_yday[row][month]) return false;
  }
  return daysFromCivil(year + 1, 1, 1) - first == mon_yday[row][12];
}

static_assert(monthTableMatches(0, 2023) && monthTableMatches(1, 2024));

constexpr std::string_view codeOf(const fips_name &row) {
  return std::string_view(row.fips_code, 5);
}

template <std::size_t N>
constexpr bool codesWellFormed(const fips_name (&table)[N]) {
  for (const fips_name &row : table) {
    for (int i = 0; i < 5; ++i) {
      if (!isDigit(row.fips_code[i])) return false;
    }
    if (row.fips_code[5] != '\0') return false;
  }
  return true;
}

template <std::size_t N>
constexpr bool codesAscending(const fips_name (&table)[N]) {
  for (std::size_t i = 1; i < N; ++i) {
    if (codeOf(table[i - 1]) >= codeOf(table[i])) return false;
  }
  return true;
}

// A code ending in 000 is a whole state; no county may take it.
template <std::size_t N>
constexpr bool hasNoStateRows(const fips_name (&table)[N]) {
  for (const fips_name &row : table) {
    if (codeOf(row).substr(2) == "000") return false;
  }
  return true;
}

constexpr bool isStateAbbreviation(const char *state) {
  return isUpper(state[0]) && isUpper(state[1]) && state[2] == '\0';
}

template <std::size_t N>
constexpr bool statesWellFormed(const fips_name (&table)[N]) {
  for (const fips_name &row : table) {
    if (!isStateAbbreviation(row.fips_state_name)) return false;
  }
  return true;
}

// The length of a name of one ASCII word of letters, as in national.h; 0 for
// any other name.
constexpr std::size_t singleWordLength(const char *name) {
  std::size_t length = 0;
  for (; name[length] != '\0'; ++length) {
    if (!isLetter(name[length])) return 0;
  }
  return length;
}

// The length of a name of words of letters joined by spaces, periods,
// apostrophes or hyphens, as in national_all.h ("St. Louis", "Prince
// George's", "Miami-Dade"); 0 for any other name.
constexpr std::size_t plainNameLength(const char *name) {
  if (!isLetter(name[0])) return 0;
  std::size_t length = 0;
  for (; name[length] != '\0'; ++length) {
    const char c = name[length];
    if (!isLetter(c) && c != ' ' && c != '.' && c != '\'' && c != '-') return 0;
  }
  return isLetter(name[length - 1]) ? length : 0;
}

// Length of the longest county name; 0 if any name is not well formed.
template <std::size_t N>
constexpr std::size_t longestName(const fips_name (&table)[N],
                                  std::size_t (*lengthOf)(const char *)) {
  std::size_t longest = 0;
  for (const fips_name &row : table) {
    const std::size_t length = lengthOf(row.fips_county_name);
    if (length == 0) return 0;
    longest = std::max(longest, length);
  }
  return longest;
}

// The longest portion word, "North Central " (an unknown one, "Unknown 0xff ",
// is shorter), and " XX" after a county's name.
constexpr std::size_t longestPortion = 14;
constexpr std::size_t portionAndStateLength = longestPortion + 3;

static_assert(std::size(fips) == 2920);
static_assert(codesWellFormed(fips), "every FIPS code is 5 digits");
static_assert(codesAscending(fips), "FIPS codes strictly ascending (binary search)");
static_assert(hasNoStateRows(fips), "no state-level FIPS rows");
static_assert(statesWellFormed(fips), "every state is two capital letters");
constexpr std::size_t longestFipsName = longestName(fips, singleWordLength);
static_assert(longestFipsName > 0 && longestFipsName + portionAndStateLength < datasize);

static_assert(std::size(fips_all) > std::size(fips));
static_assert(codesWellFormed(fips_all), "every FIPS code is 5 digits");
static_assert(codesAscending(fips_all), "FIPS codes strictly ascending (binary search)");
static_assert(hasNoStateRows(fips_all), "no state-level FIPS rows");
static_assert(statesWellFormed(fips_all), "every state is two capital letters");
constexpr std::size_t longestAllName = longestName(fips_all, plainNameLength);
static_assert(longestAllName > 0 && longestAllName + portionAndStateLength < datasize);

// The checks over both tables walk them side by side and compare codes as
// numbers and names character by character, to stay within the compilers'
// limits on compile-time evaluation.
constexpr int numberOf(const char *digits, int count) {
  int number = 0;
  for (int i = 0; i < count; ++i) number = number * 10 + (digits[i] - '0');
  return number;
}

constexpr bool sameText(const char *a, const char *b) {
  for (; *a != '\0' && *a == *b; ++a, ++b) {
  }
  return *a == *b;
}

// Every row of fips stands in fips_all with the same name and state, so
// that --all-counties only adds names and never renames one.
constexpr bool allCountiesExtendFips() {
  std::size_t j = 0;
  for (const fips_name &row : fips) {
    const int code = numberOf(row.fips_code, 5);
    while (j < std::size(fips_all) && numberOf(fips_all[j].fips_code, 5) < code) ++j;
    if (j == std::size(fips_all) || numberOf(fips_all[j].fips_code, 5) != code ||
        !sameText(fips_all[j].fips_county_name, row.fips_county_name) ||
        !sameText(fips_all[j].fips_state_name, row.fips_state_name)) {
      return false;
    }
  }
  return true;
}

static_assert(allCountiesExtendFips(), "fips_all holds every row of fips unchanged");

constexpr std::string_view prefixOf(const fips_state &state) {
  return std::string_view(state.fips_prefix, 2);
}

constexpr bool statesSortedAndWellFormed() {
  for (std::size_t i = 0; i < std::size(fips_states); ++i) {
    const fips_state &state = fips_states[i];
    if (!isDigit(state.fips_prefix[0]) || !isDigit(state.fips_prefix[1]) ||
        state.fips_prefix[2] != '\0' || prefixOf(state) == "00" ||
        !isStateAbbreviation(state.fips_state_abbr) || plainNameLength(state.fips_state_full) == 0) {
      return false;
    }
    if (i > 0 && prefixOf(fips_states[i - 1]) >= prefixOf(state)) return false;
  }
  return true;
}

// Every county's prefix names a state, with the county's abbreviation.
constexpr bool everyCountyHasItsState() {
  std::size_t j = 0;
  for (const fips_name &row : fips_all) {
    const int prefix = numberOf(row.fips_code, 2);
    while (j < std::size(fips_states) && numberOf(fips_states[j].fips_prefix, 2) < prefix) ++j;
    if (j == std::size(fips_states) || numberOf(fips_states[j].fips_prefix, 2) != prefix ||
        !sameText(fips_states[j].fips_state_abbr, row.fips_state_name)) {
      return false;
    }
  }
  return true;
}

constexpr std::size_t longestStateName() {
  std::size_t longest = 0;
  for (const fips_state &state : fips_states) {
    longest = std::max(longest, std::string_view(state.fips_state_full).size());
  }
  return longest;
}

static_assert(statesSortedAndWellFormed(), "states sorted by 2 FIPS digits, never 00");
static_assert(everyCountyHasItsState(), "every county prefix is a state with its abbreviation");
// "North Central " + the name of a whole state must fit the value buffer.
static_assert(longestStateName() + longestPortion < datasize);

// ---------------------------------------------------------------------------
// Reading the header
// ---------------------------------------------------------------------------

constexpr char preamble = '\xAB';
constexpr std::string_view textstart = "ZCZC-";
constexpr std::string_view textend = "NNNN";

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// White space as the C library's scanning functions skip it.
bool isScanSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A position in the line that stops at its end.
class Cursor {
 public:
  explicit Cursor(std::string_view line, std::size_t pos) : line_(line), pos_(pos) {}
  void advance(std::size_t n) { pos_ = std::min(line_.size(), pos_ + n); }
  std::string_view rest() const { return line_.substr(pos_); }
  bool at(char c) const { return pos_ < line_.size() && line_[pos_] == c; }

 private:
  std::string_view line_;
  std::size_t pos_;
};

// Like sscanf "%<width>s": skips white space, then takes up to `width`
// characters that are not white space.  Empty when nothing can be read.
std::string_view scanWord(std::string_view text, std::size_t width) {
  std::size_t start = 0;
  while (start < text.size() && isScanSpace(text[start])) ++start;
  std::size_t end = start;
  while (end < text.size() && end - start < width && !isScanSpace(text[end])) ++end;
  return text.substr(start, end - start);
}

// The number written as exactly `width` decimal digits at the start of
// `text`, or -1 when any of them is missing or not a digit.
int fixedDigits(std::string_view text, std::size_t width) {
  if (text.size() < width) return -1;
  int number = 0;
  for (std::size_t i = 0; i < width; ++i) {
    if (!isDigit(text[i])) return -1;
    number = number * 10 + (text[i] - '0');
  }
  return number;
}

// The description of a 3-character code in a null-terminated table, or null.
template <typename Entry>
const char *describe(const Entry *table, const char *Entry::*code, const char *Entry::*desc,
                     std::string_view field) {
  for (const Entry *entry = table; entry->*code != nullptr; ++entry) {
    if (field == entry->*code) return entry->*desc;
  }
  return nullptr;
}

// The originator or event value: its description, or `fallback` and the code
// as read.
template <typename Entry>
std::string codeValue(const Entry *table, const char *Entry::*code, const char *Entry::*desc,
                      const char *fallback, std::string_view field) {
  if (const char *text = describe(table, code, desc, field)) return text;
  return std::string(fallback) + " " + std::string(field);
}

// The rejection of `whole` for `why`, as "why: whole".
rejection rejected(const char *why, std::string_view whole) {
  return rejection{std::string(why) + ": " + std::string(whole), why};
}

// Reads every value of the header after "ZCZC-" into an alert, or the
// rejection of the whole line at the first step that cannot be read.
decoding readHeader(std::string_view whole, Cursor at, CountyNames names, std::time_t received) {
  alert values;
  values.originatorcode = at.rest().substr(0, 3);
  values.originator = codeValue(origcodes, &origcode::ocode, &origcode::odesc, "Originator",
                                values.originatorcode);
  at.advance(4);
  values.eventcode = at.rest().substr(0, 3);
  values.event = codeValue(eventcodes, &eventcode::ecode, &eventcode::edesc, "Event",
                           values.eventcode);
  at.advance(3);

  char data[datasize];
  do {
    at.advance(1);
    const std::string_view code = scanWord(at.rest(), 6);
    if (code.empty()) return rejected("Cannot read location code", whole);
    char loccode[7];
    code.copy(loccode, code.size());
    loccode[code.size()] = '\0';
    parsefips(loccode, data, names);
    values.locations.emplace_back(data);
    values.locationcodes.emplace_back(code);
    at.advance(6);
  } while (at.at('-'));

  if (!at.at('+')) return rejected("missing time period separator", whole);
  at.advance(1);

  // TTTT: a damaged reception that loses or gains a digit here would shift
  // every later field, so the four digits must be followed by the "-".
  const std::string_view purge = at.rest();
  const int duration = fixedDigits(purge, 4);
  if (duration < 0 || purge.substr(4, 1) != "-") {
    return rejected("cannot read time duration", whole);
  }
  values.duration = std::to_string(duration);
  values.purge = purge.substr(0, 4);
  at.advance(5);

  // JJJHHMM: seven digits and no eighth, a day that exists this year
  // (outputdates checks it), an hour and a minute of the clock.  A cut line
  // or a damaged field never reaches the alert as some other time.
  const std::string_view issue = at.rest();
  const int days = fixedDigits(issue, 3);
  const int hours = fixedDigits(issue.substr(std::min<std::size_t>(3, issue.size())), 2);
  const int minutes = fixedDigits(issue.substr(std::min<std::size_t>(5, issue.size())), 2);
  const bool noEighthDigit = issue.size() < 8 || !isDigit(issue[7]);
  std::optional<issuetime> local;
  if (days >= 0 && hours >= 0 && hours <= 23 && minutes >= 0 && minutes <= 59 && noEighthDigit) {
    local = outputdates(days, hours, minutes, received);
  }
  if (!local) return rejected("cannot read date/time", whole);
  values.date = std::move(local->date);
  values.time = std::move(local->time);
  values.issued = local->instant;
  values.expires = expiry(values.issued, purgeminutes(duration));
  at.advance(8);

  // The station runs to the next "-" or the end; longer than a value, it is cut.
  const std::string_view station = at.rest();
  values.source = station.substr(0, std::min(station.find('-'), datasize - 1));
  return values;
}

// The row of `table` whose code is exactly `key`, or null.
template <std::size_t N>
const fips_name *findCounty(const fips_name (&table)[N], std::string_view key) {
  if (key.size() != 5) return nullptr;
  const fips_name *row = std::lower_bound(
      std::begin(table), std::end(table), key,
      [](const fips_name &candidate, std::string_view k) { return codeOf(candidate) < k; });
  return row != std::end(table) && codeOf(*row) == key ? row : nullptr;
}

// The state or territory of two FIPS digits, or null.
const fips_state *findState(std::string_view prefix) {
  const fips_state *state = std::lower_bound(
      std::begin(fips_states), std::end(fips_states), prefix,
      [](const fips_state &candidate, std::string_view p) { return prefixOf(candidate) < p; });
  return state != std::end(fips_states) && prefixOf(*state) == prefix ? state : nullptr;
}

// The key as the lookups compare it: NUL-terminated text of at most 6 bytes,
// so that a key of 6 or more characters never equals a 5-digit code.
std::string_view lookupKey(const char *code) {
  return code == nullptr ? std::string_view() : std::string_view(code, strnlen(code, 6));
}

// The location text of `key` (SSCCC) with every county named, after the
// portion `word`: the county and its state's abbreviation, "County CCC" for a
// county missing from the list, the state's name for SS000 ("All of" it when
// the portion is the whole), the nation for 00000.  False, writing nothing,
// when the key is no 5-character code of a known state.
bool nameEveryCounty(const char *word, bool whole, std::string_view key, char *data) {
  if (key.size() != 5) return false;
  if (key == "00000") {
    std::snprintf(data, datasize, "%sUnited States", word);
    return true;
  }
  const fips_state *state = findState(key.substr(0, 2));
  if (state == nullptr) return false;
  const std::string_view county = key.substr(2);
  if (county == "000") {
    std::snprintf(data, datasize, "%s%s", whole ? "All of " : word, state->fips_state_full);
  } else if (const fips_name *row = findCounty(fips_all, key)) {
    std::snprintf(data, datasize, "%s%s %s", word, row->fips_county_name, row->fips_state_name);
  } else {
    std::snprintf(data, datasize, "%sCounty %.*s %s", word, static_cast<int>(county.size()),
                  county.data(), state->fips_state_abbr);
  }
  return true;
}

constexpr const char *portions[10] = {
    "",           "Northwest ",    "North Central ", "Northeast ", "West Central ",
    "Central ",   "East Central ", "Southwest ",     "South Central ", "Southeast ",
};

}  // namespace

decoding decodesame(std::string_view line, CountyNames names, std::time_t received) {
  const std::size_t count = std::min(line.find_first_not_of(preamble), line.size());
  if (count != 15 && count != 16) {
    return rejection{"bad preamble length: " + std::to_string(count), "bad preamble length"};
  }
  const std::string_view text = line.substr(count);
  if (startsWith(text, textend)) return endofmessage{};
  if (!startsWith(text, textstart)) return rejected("bad text start", line);
  // A header is printable ASCII from end to end.  A byte outside it is a
  // damaged reception (or a hostile one): it never reaches a trigger, a
  // terminal or a command as part of a station's name or a code.
  const bool printabletext = std::all_of(text.begin(), text.end(), [](char c) {
    return c >= 0x20 && c <= 0x7e;
  });
  if (!printabletext) return rejected("byte outside printable ASCII", line);
  decoding decoded = readHeader(line, Cursor(line, count + textstart.size()), names, received);
  if (alert *values = std::get_if<alert>(&decoded)) values->header = printable(text);
  return decoded;
}

decoding decodesame(std::string_view line, CountyNames names) {
  return decodesame(line, names, std::time(nullptr));
}

void parsefips(const char *lcode, char *data, CountyNames names) {
  // One character more than a code, so that an over-long code reads as
  // over-long and matches no row.
  const std::string_view code(lcode, strnlen(lcode, 7));
  const unsigned char portion = code.empty() ? 0 : static_cast<unsigned char>(code[0]);

  char unknown[16];
  const char *word = unknown;
  if (isDigit(static_cast<char>(portion))) {
    word = portions[portion - '0'];
  } else {
    std::snprintf(unknown, sizeof unknown, "Unknown 0x%x ", static_cast<unsigned>(portion));
  }

  const std::string_view key = code.substr(std::min<std::size_t>(1, code.size()));
  if (names == CountyNames::all && nameEveryCounty(word, portion == '0', key, data)) return;
  if (const fips_name *row = findCounty(fips, key)) {
    std::snprintf(data, datasize, "%s%s %s", word, row->fips_county_name, row->fips_state_name);
    return;
  }
  const std::string_view county = key.substr(std::min<std::size_t>(2, key.size()), 3);
  const std::string_view state = key.substr(0, 2);
  std::snprintf(data, datasize, "%sCounty %.*s State %.*s", word, static_cast<int>(county.size()),
                county.data(), static_cast<int>(state.size()), state.data());
}

issuetime localissuetime(std::time_t instant) {
  tzset();  // pick up a change of zone without a restart
  std::tm local{};
  if (localtime_r(&instant, &local) == nullptr) return issuetime{"", "", instant};

  char date[datasize];
  std::snprintf(date, sizeof date, "%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday);
  char time[datasize];
  std::snprintf(time, sizeof time, "%02d%02d%02d", local.tm_hour, local.tm_min, local.tm_sec);
  return issuetime{date, time, instant};
}

std::optional<issuetime> outputdates(int days, int hours, int minutes, std::time_t received) {
  // Hours and minutes are not checked: out-of-range values carry over.
  const std::optional<std::time_t> instant = issueinstant(days, hours, minutes, received);
  if (!instant) return std::nullopt;
  issuetime local = localissuetime(*instant);
  if (local.date.empty()) return std::nullopt;
  return local;
}

const char *eventdescription(std::string_view code) {
  return describe(eventcodes, &eventcode::ecode, &eventcode::edesc, code);
}

const char *fips_lookup_county(const char *code) {
  const fips_name *row = findCounty(fips, lookupKey(code));
  return row != nullptr ? row->fips_county_name : nullptr;
}

const char *fips_lookup_state(const char *code) {
  const fips_name *row = findCounty(fips, lookupKey(code));
  return row != nullptr ? row->fips_state_name : nullptr;
}
