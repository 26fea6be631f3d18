// zud-sim's signals arrive through a pipe, so that the loop handles them in
// turn with everything else.
#ifndef ZUD_SIM_SIGNALS_H
#define ZUD_SIM_SIGNALS_H

#include "terminal.h"

namespace zudsim {

// Records SIGINT, SIGTERM, SIGHUP, SIGUSR1 and SIGUSR2 as one byte each in a
// pipe and ignores SIGPIPE; the pipe's read end, invalid when it cannot be set up.
Fd installSignals();

}  // namespace zudsim

#endif  // ZUD_SIM_SIGNALS_H
