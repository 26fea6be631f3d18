// gateway.cpp -- configuration items, their mapping onto the receiver, and
// the signal actions.
//
// Signals are only recorded by their handlers (one byte into a pipe); the
// pipe is a device of the event loop, so each action runs between two pieces
// of work, never inside a decoding, a serial exchange or a message send.
#include "gateway.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alert.h"
#include "receiver.h"

const unsigned char samplesame[] =
    "\xab\xab\xab\xab\xab\xab\xab\xab\xab\xab\xab\xab\xab\xab\xab\xab"
    "ZCZC-WXR-RWT-016001-016003-016015-016027-016039-016045-016073-016075-016085-016087-"
    "041045+0030-2201802-KBOI/NWS-";

namespace {

struct item {
  const char *name;
  int maxvalues;
  const char *initial;  // null: one value slot without text
};

constexpr item items[] = {
    {"device", 1, nullptr},      {"freq", 1, "162.400"},     {"altfreq", 1, "0.0"},
    {"fips", 4, "??????"},       {"eomreset", 1, "false"},   {"usealtfreq", 1, "false"},
    {"event", 80, "???"},
};
static_assert(sizeof(items) / sizeof(items[0]) == 7, "seven configuration items");

constexpr int fipsslots = 4;
constexpr int fipslength = 6;
constexpr int eventslots = 80;
constexpr int eventlength = 3;

// Channels lie between 162.400 and 162.550 MHz; the window is tested on the
// single-precision value against these bounds.
constexpr double lowestfreq = 162.39;
constexpr double highestfreq = 162.56;

// Maps a frequency text onto the channel byte at `offset`; true when the
// block changed.  Unreadable or out-of-window texts are ignored.
bool mapfreq(const char *text, size_t offset) {
  float mhz = 0;
  if (sscanf(text, "%f", &mhz) != 1) return false;
  if (!(mhz > lowestfreq && mhz < highestfreq)) return false;
  unsigned char channel = (unsigned char)freqtochannel((double)mhz);
  if (config[offset] == channel) return false;
  config[offset] = channel;
  return true;
}

// Maps "true" (any letter case) to '1' and anything else to '0'.
bool mapflag(const char *text, size_t offset) {
  char mode = xPL_strcmpIgnoreCase(text, "true") == 0 ? '1' : '0';
  if (!configread || (char)config[offset] == mode) return false;
  config[offset] = (unsigned char)mode;
  return true;
}

// Copies each value of exactly `length` characters into its slot; true when
// the block changed.  The slot count bounds the values however many the item
// holds, so a hand-edited definition cannot write past the field.
bool mapslots(xPL_ServicePtr service, const char *name, const char *label, size_t offset,
              int slots, size_t length) {
  bool changed = false;
  int count = xPL_getServiceConfigValueCount(service, name);
  for (int i = 0; i < count && i < slots; i++) {
    const char *text = xPL_getServiceConfigValueAt(service, name, i);
    if (debug) fprintf(stderr, "%s %d=%s\n", label, i, text != nullptr ? text : "");
    if (text == nullptr || strlen(text) != length) continue;
    unsigned char *slot = &config[offset + i * length];
    if (memcmp(slot, text, length) == 0) continue;
    memcpy(slot, text, length);
    changed = true;
  }
  return changed;
}

bool uploadwanted() {
  const char *upload = getenv("ZUD_UPLOAD");
  return upload != nullptr && strcmp(upload, "1") == 0;
}

int signalpipe[2] = {-1, -1};

void recordsignal(int sig) {
  int saved = errno;
  unsigned char number = (unsigned char)sig;
  (void)!write(signalpipe[1], &number, 1);
  errno = saved;
}

void actonsignal(int sig) {
  switch (sig) {
    case SIGTERM:
    case SIGINT:
      shutdownHandler(sig);
      break;
    case SIGUSR1:
      test1(sig);
      break;
    case SIGUSR2:
      test2(sig);
      break;
    default:
      break;
  }
}

void signalsready(int fd, int, int) {
  unsigned char numbers[32];
  ssize_t n;
  while ((n = read(fd, numbers, sizeof(numbers))) > 0) {
    for (ssize_t i = 0; i < n; i++) actonsignal(numbers[i]);
  }
}

void remapafterreconnect() { parseconfig(zudService); }

}  // namespace

void declareconfig(xPL_ServicePtr service) {
  for (const item &it : items) {
    xPL_addServiceConfigurable(service, it.name, xPL_CONFIG_RECONF, it.maxvalues);
    if (it.maxvalues == 1) {
      xPL_setServiceConfigValue(service, it.name, it.initial);
    } else {
      xPL_setServiceConfigValueAt(service, it.name, 0, it.initial);
    }
  }
}

void parseconfig(xPL_ServicePtr service) {
  bool changed = false;
  const char *text;

  if ((text = xPL_getServiceConfigValue(service, "device")) != nullptr) {
    if (debug) fprintf(stderr, "device=%s\n", text);
    if (text[0] != '\0' && (!tfile || *tfile != text)) opendevice(text);
  }
  if ((text = xPL_getServiceConfigValue(service, "freq")) != nullptr) {
    if (debug) fprintf(stderr, "freq=%s\n", text);
    if (configread && mapfreq(text, offsetof(zudconfig, mainfreq))) changed = true;
  }
  if ((text = xPL_getServiceConfigValue(service, "altfreq")) != nullptr) {
    if (debug) fprintf(stderr, "altfreq=%s\n", text);
    if (configread && mapfreq(text, offsetof(zudconfig, altfreq))) changed = true;
  }
  if (configread && xPL_getServiceConfigValue(service, "fips") != nullptr &&
      mapslots(service, "fips", "fips", offsetof(zudconfig, fips), fipsslots, fipslength)) {
    changed = true;
  }
  if ((text = xPL_getServiceConfigValue(service, "eomreset")) != nullptr) {
    if (debug) fprintf(stderr, "eomreset=%s\n", text);
    if (mapflag(text, offsetof(zudconfig, eomresetmode))) changed = true;
  }
  if ((text = xPL_getServiceConfigValue(service, "usealtfreq")) != nullptr) {
    if (debug) fprintf(stderr, "usealtfreq=%s\n", text);
    if (mapflag(text, offsetof(zudconfig, altfreqmode))) changed = true;
  }
  if (configread && xPL_getServiceConfigValue(service, "event") != nullptr &&
      mapslots(service, "event", "event", offsetof(zudconfig, events), eventslots,
               eventlength)) {
    changed = true;
  }

  if (configread && changed) {
    unsigned char newconfig[blocksize];
    uploadimage(config, newconfig);
    if (debug) outputconfig(newconfig);
    if (uploadwanted()) writeconfig(newconfig);
  }
}

void configChangedHandler(xPL_ServicePtr theService, xPL_ObjectPtr) { parseconfig(theService); }

void shutdownHandler(int) {
  xPL_setServiceEnabled(zudService, FALSE);
  xPL_releaseService(zudService);
  zudService = nullptr;
  xPL_shutdown();
  exit(0);
}

void test2(int) { parsesame(samplesame); }

bool installsignals() {
  if (pipe2(signalpipe, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_handler = recordsignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) {
    if (sigaction(sig, &action, nullptr) != 0) return false;
  }
  setreconnecthandler(remapafterreconnect);
  return xPL_addIODevice(signalsready, 0, signalpipe[0], TRUE, FALSE, FALSE) == TRUE;
}
