// alert.h -- a received header line out on the network: the weather.alert
// trigger built from the decoder's values and sent through the gateway's
// service.
#ifndef ZUD_ALERT_H
#define ZUD_ALERT_H

#include "decoder.h"
#include "xPL.h"

// The gateway's service, source of every alert; set once at start-up.
extern xPL_ServicePtr zudService;
// The decoder's one setting, chosen once at start-up (zud --all-counties).
extern CountyNames countynames;

// Echoes one header line on stdout, then sends its alert or writes its rejection on stderr.
void parsesame(const unsigned char *same);

#endif  // ZUD_ALERT_H
