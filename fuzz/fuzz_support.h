// What every fuzz target needs: a library that sends nothing anywhere.
#pragma once

#include "xPL.h"
#include "xPL_priv.h"

namespace fuzzsupport {

inline Bool discardDatagram(const char *, int) { return TRUE; }

// Diverts every broadcast to nowhere and behaves as if a hub had answered.
inline void divertSending() {
  xPL_setRawSender(discardDatagram);
  xPL_setHubConfirmed(TRUE);
}

}  // namespace fuzzsupport
