// Text helpers of zud-sim: C escapes for showing and reading bytes, lists
// and numbers from the command line.
#ifndef ZUD_SIM_TEXT_H
#define ZUD_SIM_TEXT_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zudsim {

// Renders bytes with C escapes so that every byte is visible on one line.
std::string escapeText(std::string_view text);

// One byte as 0xHH.
std::string hexByte(std::uint8_t byte);

// One byte as a visible character, or 0xHH when it has no visible form.
std::string showByte(std::uint8_t byte);

// Decodes \r \n \t \\ and \xHH (exactly two hex digits); nothing on a bad escape.
std::optional<std::string> unescapeText(std::string_view text);

// The comma-separated items of a text, empty ones included.
std::vector<std::string_view> splitList(std::string_view text);

// A whole-text unsigned number, decimal or 0x hex, no larger than `max`.
std::optional<unsigned long> parseNumber(std::string_view text, unsigned long max);

// A whole-text finite number.
std::optional<double> parseDouble(std::string_view text);

}  // namespace zudsim

#endif  // ZUD_SIM_TEXT_H
