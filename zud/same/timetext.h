// timetext.h -- instants as text for people and for machines.
#ifndef ZUD_TIMETEXT_H
#define ZUD_TIMETEXT_H

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// ISO 8601 UTC: "2026-12-07T17:42:00Z".
std::string isotime(std::time_t instant);

// Local time as `format` (strftime) writes it; by default with its zone, to
// the minute: "2026-12-07 11:42 MST".  Empty when the instant cannot be shown.
std::string localtext(std::time_t instant, const char *format = "%Y-%m-%d %H:%M %Z");

// A date "YYYY-MM-DD" (local midnight) or "YYYY-MM-DDTHH:MM[:SS][Z]" (local,
// or UTC with the Z) as an instant; nothing when it is neither, or names a
// day or a local time that does not exist (30 February, the hour skipped
// when the clocks go forward).
std::optional<std::time_t> parsetime(std::string_view text);

#endif  // ZUD_TIMETEXT_H
