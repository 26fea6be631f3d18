// options.h -- zud's own command-line options.
//
// The xPL library takes its common options ("-interface NAME", "-xpldebug")
// out of the arguments first; what is left must be zud's own, and anything
// else is refused, so that a misspelt option in /etc/default/zud is reported
// instead of silently changing what zud does.
#ifndef ZUD_OPTIONS_H
#define ZUD_OPTIONS_H

#include <string>
#include <vector>

#include "same/decoder.h"
#include "outputs/mqttsettings.h"
#include "sources/linesource.h"

// What zud's command line asks for.
struct zudoptions {
  CountyNames countynames = CountyNames::singleWord;  // --all-counties
  bool upload = false;  // --upload: write a changed block to the receiver
  bool debug = true;    // --debug / --no-debug (the last wins): dumps and traces
  std::string store = "alerts.db";  // --store PATH; empty: none kept
  int testoverduedays = 8;          // --test-overdue DAYS; 0: not watched
  mqttoptions mqtt;                 // --mqtt URL and the other --mqtt-* options
  // --source-command CMD, --source-file PATH, --audio-command CMD,
  // --audio-file PATH, in order
  std::vector<sourceoption> sources;
  int audiorate = 22050;            // --audio-rate HZ: the sound sources' samples a second
  int messagemax = 180;             // --message-max SECONDS of a spoken message kept
  std::string audiodir;             // --audio-dir DIR; empty: audio/ beside the store
  bool keepaudio = true;            // false: --audio-dir none
  int audiokeep = 30;               // --audio-keep DAYS
  std::string onalert;              // --on-alert CMD; empty: none
  std::string onexpire;             // --on-expire CMD; empty: none
  std::string onaudio;              // --on-audio CMD; empty: none
  int hooktimeout = 60;             // --hook-timeout SECONDS
};

// The options, or why the command line was refused.
struct parsedoptions {
  zudoptions options;
  std::string error;  // empty when every argument was understood
};

// Reads the arguments left after the library's options ("--name VALUE" or
// "--name=VALUE" for options with a value); argv[0] is the program.
parsedoptions parseoptions(int argc, const char *const *argv);

// True when the environment asks for uploads the old way (ZUD_UPLOAD=1).
bool uploadfromenvironment();

#endif  // ZUD_OPTIONS_H
