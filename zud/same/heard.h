// heard.h -- one alert as heard: the decoder's values, when and where it
// was heard, and its identity, which the alerts in force, the store and
// every output share.
#ifndef ZUD_HEARD_H
#define ZUD_HEARD_H

#include <ctime>
#include <string>

#include "same/decoder.h"

// One alert as heard: the decoder's values, when and where it was heard.
struct heardalert {
  alert values;
  std::time_t received = 0;  // when it was first heard
  std::string origin;        // the receiver's path, or the line source
  bool sample = false;       // the built-in sample (SIGUSR2): a test of the outputs,
                             // no sign of the receiver's life
};

// The identity of an alert: originator, event, location codes in order,
// issue time and station.  Two headers with the same key are one alert.
std::string alertkey(const alert &values);

#endif  // ZUD_HEARD_H
