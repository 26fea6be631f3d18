// zud: joins a SAME weather-alert receiver on a serial port to an xPL
// network.  Every alert header the receiver hears is decoded and broadcast
// as one weather.alert trigger; the receiver's settings come from the xPL
// configuration protocol and are kept in "zud.xpl" in the working directory.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commandline.h"

#include "sources/children.h"
#include "core/gateway.h"
#include "outputs/mosquittolib.h"
#include "outputs/mqttsettings.h"
#include "store/soundfile.h"
#include "core/options.h"
#include "xPL.h"

namespace {

void usage(FILE *out) {
  fprintf(out,
          "usage: zud [-interface NAME] [-xpldebug] [--debug|--no-debug] [--all-counties]\n"
          "           [--upload]\n"
          "           [--store PATH|none] [--test-overdue DAYS] [--mqtt URL [--mqtt-user NAME]\n"
          "           [--mqtt-password-file FILE] [--mqtt-cafile FILE] [--mqtt-topic PREFIX]\n"
          "           [--mqtt-discovery PREFIX|none]]\n"
          "           [--source-command CMD]... [--source-file PATH|-]...\n"
          "           [--audio-command CMD]... [--audio-file PATH|-]... [--audio-rate HZ]\n"
          "           [--message-max SECONDS] [--audio-dir DIR|none] [--audio-keep DAYS]\n"
          "           [--on-alert CMD] [--on-expire CMD] [--on-audio CMD]\n"
          "           [--hook-timeout SECONDS]\n"
          "\n"
          "Joins a SAME weather-alert receiver on a serial port to an xPL network.\n"
          "Each alert header the receiver hears is broadcast as a weather.alert trigger.\n"
          "\n"
          "  -interface NAME  network interface to use (default: the first one that is\n"
          "                   up and not the loopback)\n"
          "  -xpldebug        log the xPL library's debug lines on standard error\n"
          "  --debug          dump what passes on the serial line, the receiver's\n"
          "                   configuration block and the command traces, and echo\n"
          "                   every line heard (the default)\n"
          "  --no-debug       leave them out: one plain line per event (started, the\n"
          "                   receiver's answer and block, a configuration change, each\n"
          "                   alert, an expiry, MQTT, the sources) and the errors.  The\n"
          "                   last of --debug and --no-debug wins\n"
          "  --all-counties   name every county of the Census list and the state by its\n"
          "                   abbreviation (\"Los Angeles CA\"), a whole state as \"All of\"\n"
          "                   and its name, 000000 as \"United States\"; without it a\n"
          "                   county outside the built-in 2,920 single-word names reads\n"
          "                   \"County CCC State SS\"\n"
          "  --upload         write the receiver's configuration block back to it when\n"
          "                   the xPL configuration changes it (frequencies, fips,\n"
          "                   event, modes); without it the block is only printed.\n"
          "                   ZUD_UPLOAD=1 in the environment does the same\n"
          "  --store PATH     keep every alert heard, rejected line and receiver answer\n"
          "                   in the SQLite database PATH (default: alerts.db in the\n"
          "                   working directory); \"none\" keeps nothing.  Alerts in\n"
          "                   force survive a restart; zud-alerts reads the store\n"
          "  --test-overdue DAYS\n"
          "                   when the receiver passes the Required Weekly Test (RWT\n"
          "                   among the events) and none came for more than DAYS\n"
          "                   days (default 8), say so on standard error once a day;\n"
          "                   0 switches this off\n"
          "  --mqtt URL       also publish alerts on the MQTT broker at mqtt://HOST[:PORT]\n"
          "                   (default port 1883) or mqtts://HOST[:PORT] (TLS, 8883; the\n"
          "                   broker's certificate and host name are always verified)\n"
          "  --mqtt-user NAME the user name for the broker\n"
          "  --mqtt-password-file FILE\n"
          "                   the password, the first line of FILE; ZUD_MQTT_PASSWORD in\n"
          "                   the environment does the same (never on the command line)\n"
          "  --mqtt-cafile FILE\n"
          "                   the CA certificates that sign the broker's (default: the\n"
          "                   system's)\n"
          "  --mqtt-topic PREFIX\n"
          "                   topics begin with PREFIX (default: zud/HOSTNAME): status,\n"
          "                   alert, expired, active, event/CODE, receiver\n"
          "  --mqtt-discovery PREFIX\n"
          "                   Home Assistant's discovery prefix (default: homeassistant);\n"
          "                   \"none\" publishes no discovery\n"
          "  --source-command CMD\n"
          "                   run CMD with /bin/sh -c and read SAME headers from its\n"
          "                   output, such as 'rtl_fm -f 162.550M -s 22050 - |\n"
          "                   multimon-ng -t raw -a EAS -'; started again 5 s after\n"
          "                   it exits (up to 5 minutes while it keeps failing).\n"
          "                   May be given more than once\n"
          "  --source-file PATH\n"
          "                   read SAME headers from a FIFO (reopened when its writer\n"
          "                   closes), a file, or - for standard input.  May be given\n"
          "                   more than once.  Headers from sources are sent only for\n"
          "                   the configured fips and event values, and once for the\n"
          "                   same header heard again within 15 s\n"
          "  --audio-command CMD\n"
          "                   run CMD as --source-command does, but its output is raw\n"
          "                   sound (signed 16-bit little-endian mono), which zud's own\n"
          "                   SAME demodulator hears: 'rtl_fm -f 162.550M -s 22050 -', or\n"
          "                   'arecord -q -t raw -f S16_LE -c 1 -r 22050 -D hw:1'.  The\n"
          "                   spoken message after each alert is kept.  May be given\n"
          "                   more than once\n"
          "  --audio-file PATH\n"
          "                   the same from a FIFO, a file or - for standard input\n"
          "  --audio-rate HZ  the sound's samples a second, 8000 to 48000 (default 22050)\n"
          "  --message-max SECONDS\n"
          "                   keep at most this much of a spoken message (default 180)\n"
          "  --audio-dir DIR  keep the spoken messages (FLAC files) in DIR (default:\n"
          "                   audio/ beside the store); \"none\" keeps none\n"
          "  --audio-keep DAYS\n"
          "                   remove kept messages older than DAYS (default 30)\n"
          "  --on-alert CMD   run CMD with /bin/sh -c for each new alert, with the alert\n"
          "                   in its environment (ZUD_EVENT, ZUD_LOCATIONS, ZUD_JSON...)\n"
          "  --on-expire CMD  the same for each alert that expires\n"
          "  --on-audio CMD   the same for each spoken message kept, with ZUD_AUDIO, the\n"
          "                   file's path, and ZUD_AUDIO_SECONDS\n"
          "  --hook-timeout SECONDS\n"
          "                   end a command per alert still running after SECONDS\n"
          "                   (default 60); at most 4 run at once, the rest wait\n"
          "  --help           show this text and exit\n"
          "  --version        show the version and exit\n"
          "\n"
          "zud is an xPL device (vendor kelvora, device zud) configured over the network\n"
          "with any xPL configuration manager, for example:\n"
          "  xpl-config set kelvora-zud.INSTANCE device=/dev/ttyUSB0 freq=162.475 \\\n"
          "      fips=016001 event=TOR event=SVR\n"
          "Items: device, freq, altfreq, fips (4), eomreset, usealtfreq, event (80).\n"
          "The configuration is kept in zud.xpl in the working directory.\n"
          "\n"
          "Signals: TERM or INT stop it (goodbye heartbeat, exit 0); USR1 sends the\n"
          "receiver its test command; USR2 decodes a built-in sample alert.\n"
          "An alert in force (its purge time not yet over) is announced on standard\n"
          "output when it expires.\n"
          "Exit status: 0 after TERM or INT; 1, saying why on standard error, when it\n"
          "cannot start or its event loop fails; 2, with one line on standard error,\n"
          "on a command line it refuses: an option it does not know, a value it cannot\n"
          "use, an option that does nothing without another (--mqtt-user without\n"
          "--mqtt), or an MQTT setting it cannot use (a bad URL or host, an unreadable\n"
          "password or CA file).\n");
}

// One line on why the event loop ended; `error` is errno as the loop left it.
void reportloopend(int error) {
  if (xPL_getFD() == -1) {
    fprintf(stderr, "zud: the xPL transport was shut down\n");
  } else {
    fprintf(stderr, "zud: the event loop failed: %s\n", strerror(error));
  }
}

}  // namespace

int main(int argc, char **argv) {
  for (int i = 1; i < argc; i++) commandline::exitOnHelpOrVersion("zud", argv[i], usage);
  // A signal that comes before its action is set (a USR2 from a script that
  // started zud a moment ago) waits instead of ending the process.
  blocksignals();

  setvbuf(stdout, nullptr, _IOLBF, 0);
  // Lives as long as the process: the shutdown action ends it with exit(),
  // which leaves the receiver's port open to the end, as it should.
  gateway zud;
  if (!xPL_parseCommonArgs(&argc, argv, FALSE)) return 1;
  // After the library's options are taken out, so that an interface name is
  // never read as a switch.
  const parsedoptions parsed = parseoptions(argc, argv);
  if (!parsed.error.empty()) {
    fprintf(stderr, "zud: %s (try 'zud --help')\n", parsed.error.c_str());
    return commandline::exitUsage;
  }
  // The broker's settings are read and checked before anything starts, so
  // that a wrong one is a line and status 2, not a daemon that never connects.
  char hostname[256] = "";
  gethostname(hostname, sizeof hostname - 1);
  const checkedmqtt mqtt = checkmqtt(parsed.options.mqtt, hostname, getenv("ZUD_MQTT_PASSWORD"));
  if (!mqtt.error.empty()) {
    fprintf(stderr, "zud: %s\n", mqtt.error.c_str());
    return commandline::exitUsage;
  }
  std::string missing;
  if (mqtt.settings && !loadmosquitto(missing)) {
    fprintf(stderr, "zud: --mqtt needs libmosquitto (Debian libmosquitto1): %s\n", missing.c_str());
    return commandline::exitUsage;
  }
  const bool sound = std::any_of(parsed.options.sources.begin(), parsed.options.sources.end(),
                                 [](const sourceoption &source) { return source.sound; });
  if (sound && parsed.options.keepaudio && !loadsoundfiles(missing)) {
    fprintf(stderr,
            "zud: keeping spoken messages needs libsndfile (Debian libsndfile1): %s "
            "(--audio-dir none keeps none)\n",
            missing.c_str());
    return commandline::exitUsage;
  }
  zud.countynames = parsed.options.countynames;
  zud.link.uploadchanges = parsed.options.upload || uploadfromenvironment();
  zud.link.debug = parsed.options.debug ? 1 : 0;
  if (!xPL_initialize(xPL_getParsedConnectionType())) {
    fprintf(stderr, "Cannot start xPL!\n");
    fprintf(stderr, "zud: %s\n", xPL_getStartupFailure());
    return 1;
  }

  xPL_ServicePtr zudService = xPL_createConfigurableService("kelvora", "zud", "zud.xpl");
  xPL_setServiceVersion(zudService, ZUD_VERSION);
  if (!xPL_isServiceConfigured(zudService)) declareconfig(zudService);
  zud.zudService = zudService;
  // Signals are acted on from the loop, so those that came until now wait
  // in the pipe for everything below to be in place.
  if (!installsignals(zud)) perror("zud: cannot install signal actions");
  // The network first: the heartbeat leaves before anything that may take
  // time (the store, the broker, the receiver, the commands) has started.
  xPL_setServiceEnabled(zudService, TRUE);
  std::printf("zud %s started as %s-%s.%s on %s (%s)\n", ZUD_VERSION,
              xPL_getServiceVendor(zudService), xPL_getServiceDeviceID(zudService),
              xPL_getServiceInstanceID(zudService), xPL_getBroadcastInterface(),
              xPL_getListenerIPAddr());
  startoutputs(zud, parsed.options, mqtt.settings);
  configchanged(zud);
  xPL_addServiceConfigChangedListener(zudService, configChangedHandler, &zud);
  startsources(zud, parsed.options);
  xPL_processMessages(-1);
  // TERM and INT end the process from inside the loop with status 0, so a
  // loop that returns has failed: a service manager must hear of it.
  reportloopend(errno);
  // The commands zud runs end with it.  The gateway itself is left to the
  // end of the process, as at a stop: a loop that failed may have no
  // descriptor left to take it apart with.
  endallchildren();
  std::exit(1);
}
