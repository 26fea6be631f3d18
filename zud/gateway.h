// gateway.h -- the gateway's glue between the xPL library and the receiver:
// its configuration items, the mapping of their values onto the receiver's
// configuration block, and the signal actions.
#ifndef ZUD_GATEWAY_H
#define ZUD_GATEWAY_H

#include "xPL.h"

// The built-in sample header: 16 preamble bytes and a weekly test for
// eleven counties of Idaho and Oregon.
extern const unsigned char samplesame[];

// Declares the seven configuration items, each with its default value.
void declareconfig(xPL_ServicePtr service);

// Applies the service's configuration to the serial device and the block.
void parseconfig(xPL_ServicePtr service);

// Configuration-changed listener: runs parseconfig on the service.
void configChangedHandler(xPL_ServicePtr theService, xPL_ObjectPtr userData);

// SIGTERM/SIGINT action: goodbye heartbeat, release, shutdown, exit 0.
void shutdownHandler(int sig);

// SIGUSR2 action: decodes the built-in sample header.
void test2(int sig);

// Records SIGTERM, SIGINT, SIGUSR1 and SIGUSR2 and acts on them from the
// event loop, never in the middle of other work.  False when it cannot.
bool installsignals();

#endif  // ZUD_GATEWAY_H
