// printable.h -- bytes as text that any log or journal shows as it is.
#ifndef ZUD_PRINTABLE_H
#define ZUD_PRINTABLE_H

#include <string>
#include <string_view>

// The bytes with printable ASCII (0x20 to 0x7e) as itself and every other
// byte as "[0xNN]" (lower-case hex): a receiver's preamble bytes or line
// noise never turn a line into binary for journald or a JSON writer.
std::string printable(std::string_view bytes);

#endif  // ZUD_PRINTABLE_H
