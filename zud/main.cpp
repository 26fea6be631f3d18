// zud: joins a SAME weather-alert receiver on a serial port to an xPL
// network.  Every alert header the receiver hears is decoded and broadcast
// as one weather.alert trigger; the receiver's settings come from the xPL
// configuration protocol and are kept in "zud.xpl" in the working directory.
#include <cstdio>
#include <cstring>

#include "decoder.h"
#include "gateway.h"
#include "xPL.h"

namespace {

void usage(FILE *out) {
  fprintf(out,
          "usage: zud [-interface NAME] [-xpldebug]\n"
          "\n"
          "Joins a SAME weather-alert receiver on a serial port to an xPL network.\n"
          "Each alert header the receiver hears is broadcast as a weather.alert trigger.\n"
          "\n"
          "  -interface NAME  network interface to use (default: the first one that is\n"
          "                   up and not the loopback)\n"
          "  -xpldebug        log the xPL library's debug lines on standard error\n"
          "  --help           show this text and exit\n"
          "  --version        show the version and exit\n"
          "\n"
          "zud is an xPL device (vendor kelvora, device zud) configured over the network\n"
          "with any xPL configuration manager, for example:\n"
          "  xpl-config set kelvora-zud.INSTANCE device=/dev/ttyUSB0 freq=162.475 \\\n"
          "      fips=016001 event=TOR event=SVR\n"
          "Items: device, freq, altfreq, fips (4), eomreset, usealtfreq, event (80).\n"
          "The configuration is kept in zud.xpl in the working directory.\n"
          "Set ZUD_UPLOAD=1 to upload a changed configuration block to the receiver.\n"
          "\n"
          "Signals: TERM or INT stop it (goodbye heartbeat, exit 0); USR1 sends the\n"
          "receiver its test command; USR2 decodes a built-in sample alert.\n");
}

}  // namespace

int main(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--help") == 0) {
      usage(stdout);
      return 0;
    }
    if (strcmp(argv[i], "--version") == 0) {
      printf("zud %s\n", ZUD_VERSION);
      return 0;
    }
  }

  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (!xPL_parseCommonArgs(&argc, argv, FALSE)) return 1;
  if (!xPL_initialize(xPL_getParsedConnectionType())) {
    fprintf(stderr, "Cannot start xPL!\n");
    return 1;
  }

  zudService = xPL_createConfigurableService("kelvora", "zud", "zud.xpl");
  xPL_setServiceVersion(zudService, ZUD_VERSION);
  if (!xPL_isServiceConfigured(zudService)) declareconfig(zudService);
  parseconfig(zudService);
  xPL_addServiceConfigChangedListener(zudService, configChangedHandler, nullptr);
  if (!installsignals()) perror("zud: cannot install signal actions");
  xPL_setServiceEnabled(zudService, TRUE);
  return xPL_processMessages(-1);
}
