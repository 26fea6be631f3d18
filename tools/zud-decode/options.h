// zud-decode's command line.
#ifndef ZUD_TOOLS_ZUDDECODE_OPTIONS_H
#define ZUD_TOOLS_ZUDDECODE_OPTIONS_H

#include <cstdio>
#include <string>

namespace zuddecode {

constexpr const char *kProgram = "zud-decode";

struct options {
  std::string path = "-";  // "-": standard input
  bool raw = false;        // signed 16-bit little-endian mono, no header
  int rate = 0;            // the raw input's sample rate; 0 when not given
  bool json = false;       // one JSON object a line, with every detail
};

// Writes the help text to `to`.
void printhelp(FILE *to);

// The options of argv; a usage error (status 2) for anything else, and
// --help or --version answered with status 0.
options parseoptions(int argc, char **argv);

}  // namespace zuddecode

#endif  // ZUD_TOOLS_ZUDDECODE_OPTIONS_H
