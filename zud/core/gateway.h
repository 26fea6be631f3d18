// gateway.h -- the gateway's glue between the xPL library, the receiver and
// the outputs: its configuration items, the mapping of their values onto the
// receiver's configuration block, what happens to each line heard, and the
// signal actions.
//
// What happens to a decoded alert is one short sequence (lineheard): the
// echo and the decoding, then each output of the list in order: the xPL
// trigger first, then MQTT, the alert store, the receiver watchdog and the
// commands per alert.
#ifndef ZUD_GATEWAY_H
#define ZUD_GATEWAY_H

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "same/decoder.h"
#include "core/inforce.h"
#include "sources/linesource.h"
#include "outputs/mqttsettings.h"
#include "core/options.h"
#include "outputs/output.h"
#include "sources/receiver.h"
#include "same/samefilter.h"
#include "xPL.h"

class storeoutput;
class watchdog;

// The built-in sample header: 16 preamble bytes and a weekly test for
// eleven counties of Idaho and Oregon.
extern const unsigned char samplesame[];

// Everything the gateway runs on: its service, how it names counties, the
// receiver it serves, the alerts in force and the outputs.  Not copyable:
// the receiver's handlers and the timers point back into it.
struct gateway {
  gateway();
  gateway(const gateway &) = delete;
  gateway &operator=(const gateway &) = delete;

  xPL_ServicePtr zudService = nullptr;  // source of every alert; set once at start-up
  CountyNames countynames = CountyNames::singleWord;  // zud --all-counties
  receiver link;
  inforce alerts;       // heard, expiry still ahead
  outputlist outputs;   // each event goes to them in this order, the xPL trigger first
  storeoutput *store = nullptr;  // on the list unless --store none
  watchdog *dog = nullptr;       // on the list
  std::vector<std::unique_ptr<linesource>> sources;  // --source-command, --source-file
  repeatwindow sourcerepeats{15000};  // one alert for a header the sources repeat within 15 s
  // The last alert each line source gave, by its origin: the spoken message
  // a source of sound keeps after it belongs to it.
  std::map<std::string, heardalert> lastheard;
  // The configuration as last said ("name", "v1,v2"), for saying what a
  // change changed.
  std::vector<std::pair<std::string, std::string>> configuration;
};

// Puts the outputs the options ask for on the list, and takes the alerts in
// force and the watchdog's history from the store; `mqtt` (checkmqtt's
// settings) adds the MQTT output last.
void startoutputs(gateway &zud, const zudoptions &options,
                  const std::optional<mqttsettings> &mqtt = std::nullopt);

// Everything that happens to one line heard from `origin` (a receiver's
// path): echo (of `heardas`, what was heard, when it differs from the line
// decoded), decode, then every output in order; the alert heard, when the
// line was one.
std::optional<heardalert> lineheard(gateway &zud, std::string_view line, const std::string &origin,
                                    std::optional<std::string_view> heardas = std::nullopt);

// Starts the line sources the options name (once the signals are recorded,
// so that no child's end is missed).
void startsources(gateway &zud, const zudoptions &options);

// A header from a line source goes on as a receiver's line when it passes
// the configured fips and event values and was not heard within 15 s.
bool sourceheard(gateway &zud, const sourceline &line, const linesource &source);

// A source of sound kept the spoken message after `header` at `path`: the
// alert it belongs to (the source's last) hears of it, and every output.
void messagekept(gateway &zud, const std::string &header, const std::string &path, double seconds,
                 const linesource &source);

// Where the sound sources keep messages: --audio-dir, or audio/ beside the
// store (the working directory without one); empty for --audio-dir none.
std::string audiodirectory(const zudoptions &options);

// Removes the messages older than `days` from `dir` (made when missing),
// now and once a day.
void keepaudiofor(const std::string &dir, int days);

// Declares the seven configuration items, each with its default value.
void declareconfig(xPL_ServicePtr service);

// Applies the service's configuration to the receiver: its device and its
// block.  A new device is opened and the rest waits for its block (the
// link's readyHandler runs this again when the opening ends).
void parseconfig(xPL_ServicePtr service, receiver &link);

// Configuration-changed listener; userData is the gateway.
void configChangedHandler(xPL_ServicePtr theService, xPL_ObjectPtr userData);

// Maps the service's configuration onto the receiver (once the exchange in
// progress, if any, has ended) and tells the watchdog and the outputs the
// configured event codes.
void configchanged(gateway &zud);

// SIGTERM/SIGINT action: goodbye heartbeat, outputs closed, the commands
// zud runs ended (2 s at most), release, shutdown, exit 0.
void shutdownHandler(gateway &zud);

// SIGUSR2 action: decodes the built-in sample header.
void test2(gateway &zud);

// Blocks SIGTERM, SIGINT, SIGUSR1, SIGUSR2 and SIGCHLD until installsignals
// has set their actions: one that comes before then waits.
void blocksignals();

// Records SIGTERM, SIGINT, SIGUSR1, SIGUSR2 and SIGCHLD and acts on them, on `zud`,
// from the event loop, never in the middle of other work; then lets them
// in.  False when it cannot.
bool installsignals(gateway &zud);

#endif  // ZUD_GATEWAY_H
