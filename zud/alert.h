// alert.h -- a received header line out on the network: the weather.alert
// trigger built from the decoder's values and sent through the gateway's
// service.
#ifndef ZUD_ALERT_H
#define ZUD_ALERT_H

#include "decoder.h"
#include "xPL.h"

// Echoes one header line on stdout, decodes it naming counties as `names`
// says, then sends its alert through `service` or writes its rejection on stderr.
void parsesame(const unsigned char *same, xPL_ServicePtr service, CountyNames names);

#endif  // ZUD_ALERT_H
