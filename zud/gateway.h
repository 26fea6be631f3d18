// gateway.h -- the gateway's glue between the xPL library and the receiver:
// its configuration items, the mapping of their values onto the receiver's
// configuration block, and the signal actions.
#ifndef ZUD_GATEWAY_H
#define ZUD_GATEWAY_H

#include "decoder.h"
#include "receiver.h"
#include "xPL.h"

// The built-in sample header: 16 preamble bytes and a weekly test for
// eleven counties of Idaho and Oregon.
extern const unsigned char samplesame[];

// Everything the gateway runs on: its service, how it names counties, and
// the receiver it serves, whose lines it decodes and sends through the
// service.  Not copyable: the receiver's handlers point back into it.
struct gateway {
  gateway();
  gateway(const gateway &) = delete;
  gateway &operator=(const gateway &) = delete;

  xPL_ServicePtr zudService = nullptr;  // source of every alert; set once at start-up
  CountyNames countynames = CountyNames::singleWord;  // zud --all-counties
  receiver link;
};

// Declares the seven configuration items, each with its default value.
void declareconfig(xPL_ServicePtr service);

// Applies the service's configuration to the receiver: its device and its block.
void parseconfig(xPL_ServicePtr service, receiver &link);

// Configuration-changed listener; userData is the receiver to map onto.
void configChangedHandler(xPL_ServicePtr theService, xPL_ObjectPtr userData);

// SIGTERM/SIGINT action: goodbye heartbeat, release, shutdown, exit 0.
void shutdownHandler(gateway &zud);

// SIGUSR2 action: decodes the built-in sample header.
void test2(gateway &zud);

// Records SIGTERM, SIGINT, SIGUSR1 and SIGUSR2 and acts on them, on `zud`,
// from the event loop, never in the middle of other work.  False when it cannot.
bool installsignals(gateway &zud);

#endif  // ZUD_GATEWAY_H
