// Several datagrams -> parseMessage -> the services' inbound handling.
//
// The input is split at NUL bytes into datagrams, delivered in order to a
// fresh configurable service (the gateway's items) and a plain one.  That
// reaches target matching, filters and groups, hbeat.request answers, the
// config.list / config.current reports and config.response installation with
// its restart, all from text a stranger on the network may send.
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "xPL.h"
#include "fuzz_support.h"

namespace {

time_t fixedClock() { return 1700000000; }

void noteChange(xPL_ServicePtr, xPL_ObjectPtr userValue) { ++*static_cast<int *>(userValue); }

int setUp() {
  fuzzsupport::divertSending();
  xPL_setClock(fixedClock);
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static int ready = setUp();
  (void)ready;
  int changes = 0;
  xPL_ServicePtr configurable = xPL_createConfigurableService("kelvora", "zud", NULL);
  xPL_setServiceInstanceID(configurable, "hall");
  xPL_addServiceConfigurable(configurable, "device", xPL_CONFIG_RECONF, 1);
  xPL_addServiceConfigurable(configurable, "fips", xPL_CONFIG_RECONF, 4);
  xPL_addServiceConfigurable(configurable, "event", xPL_CONFIG_RECONF, 80);
  xPL_addServiceConfigurable(configurable, "mode", xPL_CONFIG_OPTIONAL, 1);
  xPL_addServiceConfigChangedListener(configurable, noteChange, &changes);
  xPL_setServiceEnabled(configurable, TRUE);
  xPL_ServicePtr plain = xPL_createService("kelvora", "logger", "den");
  xPL_setServiceEnabled(plain, TRUE);

  const char *at = reinterpret_cast<const char *>(data);
  const char *end = at + size;
  while (at < end) {
    const char *stop = static_cast<const char *>(std::memchr(at, '\0', end - at));
    if (stop == NULL) stop = end;
    std::string datagram(at, stop);
    xPL_MessagePtr message = parseMessage(datagram.c_str());
    if (message != NULL) {
      xPL_handleServiceMessage(message, NULL);
      xPL_releaseMessage(message);
    }
    at = stop + 1;
  }

  xPL_releaseService(plain);
  xPL_releaseService(configurable);
  return 0;
}
