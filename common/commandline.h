// commandline.h -- what every program of the project does alike on its
// command line: --help and --version, the exit statuses, and whole numbers.
// Header-only, so that the daemon, the tools and the benchmarks share it
// without one depending on another's folder or library.
#ifndef ZUD_COMMON_COMMANDLINE_H
#define ZUD_COMMON_COMMANDLINE_H

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#ifndef ZUD_VERSION
#define ZUD_VERSION "unknown"
#endif

namespace commandline {

constexpr int exitOk = 0;
constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

// Exits with status 0 after printing the help on standard output for --help or -h, or
// "PROGRAM VERSION" for --version; returns for any other argument.
inline void exitOnHelpOrVersion(const char *program, std::string_view arg,
                                void (*printHelp)(FILE *to)) {
  if (arg == "--help" || arg == "-h") {
    printHelp(stdout);
    std::exit(exitOk);
  }
  if (arg == "--version") {
    std::printf("%s %s\n", program, ZUD_VERSION);
    std::exit(exitOk);
  }
}

// The whole number that is all of `text`, from `lowest` to `highest`: only
// digits of `base` (no sign, no blanks), where base 0 is decimal, or
// hexadecimal after "0x"; nothing otherwise.
template <typename Number>
std::optional<Number> wholenumber(std::string_view text, Number lowest, Number highest,
                                  int base = 10) {
  if (base == 0) {
    base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
      text.remove_prefix(2);
      base = 16;
    }
  }
  // from_chars takes a minus sign for signed types; a sign is no digit here.
  if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < lowest || value > highest) return std::nullopt;
  return value;
}

}  // namespace commandline

#endif  // ZUD_COMMON_COMMANDLINE_H
