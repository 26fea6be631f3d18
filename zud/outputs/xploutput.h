// xploutput.h -- a received header line out on the network: the weather.alert
// trigger built from the decoder's values and sent through the gateway's
// service, first of the gateway's outputs.
#ifndef ZUD_XPLOUTPUT_H
#define ZUD_XPLOUTPUT_H

#include <ctime>
#include <optional>
#include <string_view>

#include "same/decoder.h"
#include "outputs/output.h"
#include "xPL.h"

// Sends the alert as one weather.alert trigger through `service`, or as
// several when it does not fit one datagram; false, with errno set, when a
// datagram could not be sent (the others are sent all the same).
bool sendalert(xPL_ServicePtr service, const alert &values);

// The weather.alert trigger as an output: every header, repeats included,
// goes out at once.  A send that fails is one line on standard error, at
// most one a minute while sends keep failing (with the count of those not
// reported), so that a network that is down is heard of without a flood.
class xploutput : public output {
 public:
  // `service` is the gateway's, read at each alert (it is set after start-up).
  explicit xploutput(const xPL_ServicePtr &service) : service_(service) {}
  std::string alertheard(const heardalert &heard, bool repeat) override;

 private:
  const xPL_ServicePtr &service_;
  long long lastreport_ = 0;  // monotonic ms of the last failure reported; 0: none
  int unreported_ = 0;        // failures since then
};

// Echoes `heardas` (what was heard, as printable text) on stdout unless it
// is null, decodes `line` as heard at `received`, naming counties as `names`
// says, and writes a rejection on stderr.
decoding heardline(std::string_view line, CountyNames names, std::time_t received,
                   std::optional<std::string_view> heardas);

// Echoes, decodes and sends one header line through `service`, and nothing
// else: the trigger alone, for the decoder's tests, benchmark and fuzzing.
void parsesame(const unsigned char *same, xPL_ServicePtr service, CountyNames names);

#endif  // ZUD_XPLOUTPUT_H
