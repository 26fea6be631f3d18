// zud-decode's command line.
#include "options.h"

#include <cstdlib>
#include <string>

#include "same/demodulator.h"
#include "toolkit.h"

namespace zuddecode {

void printhelp(FILE *to) {
  std::fprintf(to,
               "Usage: %s [--json] [FILE|-]\n"
               "       %s --raw --rate HZ [--json] [FILE|-]\n"
               "Prints the SAME headers heard in a recording, one line each as heard\n"
               "(ZCZC-...-), and NNNN for each end of message.\n"
               "\n"
               "  FILE         WAV, FLAC or Ogg, any rate; the first channel is read\n"
               "               (default: standard input)\n"
               "  --raw        the input is signed 16-bit little-endian mono samples\n"
               "  --rate HZ    the raw input's sample rate, %d to %d\n"
               "  --json       one JSON object a line: each header with where it was\n"
               "               heard, its bursts, the bits put right and its confidence;\n"
               "               each end of message; where each message's sound begins\n"
               "               and ends\n"
               "  --help       this text\n"
               "  --version    the version\n"
               "\n"
               "Exit status: 0 when the input was read to its end, 2 on a usage error\n"
               "or an input that cannot be read.\n",
               kProgram, kProgram, demodulator::lowestrate, demodulator::highestrate);
}

options parseoptions(int argc, char **argv) {
  options parsed;
  bool pathgiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    toolkit::exitOnHelpOrVersion(kProgram, arg, printhelp);
    if (arg == "--raw") {
      parsed.raw = true;
    } else if (arg == "--json") {
      parsed.json = true;
    } else if (arg == "--rate") {
      const std::string value = toolkit::optionValue(kProgram, argc, argv, &i);
      char *end = nullptr;
      const long rate = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || rate < demodulator::lowestrate ||
          rate > demodulator::highestrate) {
        toolkit::usageError(kProgram, "--rate takes a whole number of Hz from " +
                                          std::to_string(demodulator::lowestrate) + " to " +
                                          std::to_string(demodulator::highestrate) + ", not '" +
                                          value + "'");
      }
      parsed.rate = static_cast<int>(rate);
    } else if (arg.size() > 1 && arg[0] == '-') {
      toolkit::usageError(kProgram, "unknown option '" + arg + "'");
    } else if (pathgiven) {
      toolkit::usageError(kProgram, "one input at most, not '" + arg + "' too");
    } else {
      parsed.path = arg;
      pathgiven = true;
    }
  }
  if (parsed.raw && parsed.rate == 0) toolkit::usageError(kProgram, "--raw needs --rate HZ");
  if (!parsed.raw && parsed.rate != 0) toolkit::usageError(kProgram, "--rate goes with --raw");
  return parsed;
}

}  // namespace zuddecode
