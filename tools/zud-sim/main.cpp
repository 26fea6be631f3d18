// zud-sim: a stand-in for the SAME weather-alert receiver, so that the gateway
// can be tested and demonstrated without the radio.  It offers a
// pseudo-terminal whose slave side behaves like the receiver's serial port:
// it answers the single-character commands, hands out and takes the 512-byte
// configuration block, and sends SAME header lines.  Everything it receives
// and sends is reported on standard output, one line per event, so that a test
// can follow the conversation.  Directives on standard input and a few options
// make it misbehave on purpose (unplugging, silence, wrong acknowledgements).
//
// Units: options (command line), block (the configuration block), terminal
// (pseudo-terminal, descriptors, link), simulator (receiver behaviour and
// the loop), with text, pacer, signals and protocol beside them.
#include <cstdio>
#include <utility>

#include "options.h"
#include "simulator.h"
#include "toolkit.h"

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  zudsim::ParseResult parsed = zudsim::parseOptions(argc, argv);
  if (!parsed.error.empty()) {
    toolkit::complain(zudsim::kProgram, parsed.error);
    std::fprintf(stderr, "Try '%s --help'.\n", zudsim::kProgram);
    return toolkit::exitUsage;
  }
  if (parsed.options.help) {
    std::fputs(zudsim::kUsage, stdout);
    return toolkit::exitOk;
  }
  if (parsed.options.version) {
    std::printf("%s %s\n", zudsim::kProgram, ZUD_VERSION);
    return toolkit::exitOk;
  }
  zudsim::Simulator simulator(std::move(parsed.options));
  return simulator.run();
}
