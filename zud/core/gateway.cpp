// gateway.cpp -- configuration items, their mapping onto the receiver, the
// outputs and the sequence of each line heard, and the signal actions.
//
// Signals are only recorded by their handlers (one byte into a pipe); the
// pipe is a device of the event loop, so each action runs between two pieces
// of work, never inside a decoding, a serial exchange or a message send.
#include "core/gateway.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "outputs/xploutput.h"
#include "sources/children.h"
#include "outputs/hookoutput.h"
#include "outputs/mqttoutput.h"
#include "same/printable.h"
#include "sources/receiver.h"
#include "outputs/storeoutput.h"
#include "same/timetext.h"
#include "outputs/watchdog.h"

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
static_assert(std::size(items) == 7, "seven configuration items");

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
bool mapfreq(receiver &link, const char *text, size_t offset) {
  float mhz = 0;
  if (sscanf(text, "%f", &mhz) != 1) return false;
  if (!(mhz > lowestfreq && mhz < highestfreq)) return false;
  const auto channel = static_cast<unsigned char>(freqtochannel(static_cast<double>(mhz)));
  if (link.config[offset] == channel) return false;
  link.config[offset] = channel;
  return true;
}

// Maps "true" (any letter case) to '1' and anything else to '0'.
bool mapflag(receiver &link, const char *text, size_t offset) {
  const unsigned char mode = xPL_strcmpIgnoreCase(text, "true") == 0 ? '1' : '0';
  if (!link.configread || link.config[offset] == mode) return false;
  link.config[offset] = mode;
  return true;
}

// Copies each value of exactly `length` characters into its slot; true when
// the block changed.  The slot count bounds the values however many the item
// holds, so a hand-edited definition cannot write past the field.
bool mapslots(receiver &link, xPL_ServicePtr service, const char *name, size_t offset,
              int slots, size_t length) {
  bool changed = false;
  int count = xPL_getServiceConfigValueCount(service, name);
  for (int i = 0; i < count && i < slots; i++) {
    const char *text = xPL_getServiceConfigValueAt(service, name, i);
    if (link.debug) fprintf(stderr, "%s %d=%s\n", name, i, text != nullptr ? text : "");
    if (text == nullptr || strlen(text) != length) continue;
    unsigned char *slot = &link.config[offset + static_cast<size_t>(i) * length];
    if (memcmp(slot, text, length) == 0) continue;
    memcpy(slot, text, length);
    changed = true;
  }
  return changed;
}

// The write end of the pipe that records each signal: a signal handler
// gets no user value, so it reaches the pipe here.
int signalpipe = -1;
// The gateway the recorded signals act on; the pipe's device handler, whose
// user value is an int, finds it here.
gateway *signalled = nullptr;

// The signals zud acts on.
constexpr int signalsactedon[] = {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGCHLD};

sigset_t actedon() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : signalsactedon) sigaddset(&set, sig);
  return set;
}

void recordsignal(int sig) {
  const int saved = errno;
  const auto number = static_cast<unsigned char>(sig);
  // A full pipe already holds signals enough to act on; this one is dropped.
  [[maybe_unused]] const ssize_t written = write(signalpipe, &number, 1);
  errno = saved;
}

void actonsignal(gateway &zud, int sig) {
  switch (sig) {
    case SIGTERM:
    case SIGINT:
      shutdownHandler(zud);
      break;
    case SIGUSR1:
      test1(zud.link);
      break;
    case SIGUSR2:
      test2(zud);
      break;
    case SIGCHLD:
      reapchildren();
      break;
    default:
      break;
  }
}

void signalsready(int fd, int, int) {
  unsigned char numbers[32];
  ssize_t n;
  while ((n = read(fd, numbers, sizeof(numbers))) > 0) {
    for (ssize_t i = 0; i < n; i++) {
      if (signalled != nullptr) actonsignal(*signalled, numbers[i]);
    }
  }
}

// Where the built-in sample comes from: no receiver, so it is no sign of the
// receiver's life for the watchdog.
constexpr const char *sampleorigin = "built-in sample (SIGUSR2)";

// The places of an alert, as a list people read.
std::string placesof(const alert &a) {
  std::string places;
  for (const std::string &name : a.locations) places += (places.empty() ? "" : ", ") + name;
  return places;
}

// One line on standard output for an alert that has expired, then the
// outputs; `late` when it expired while zud was stopped and is announced
// only now, at start.
void alertexpired(const heardalert &heard, bool late, void *owner) {
  gateway &zud = *static_cast<gateway *>(owner);
  const alert &a = heard.values;
  const std::string places = placesof(a);
  const std::string when =
      late ? " -- it expired at " + localtext(a.expires) + ", while zud was stopped" : "";
  std::printf("alert expired: %s for %s, issued %s%s\n", a.event.c_str(), places.c_str(),
              localtext(a.issued).c_str(), when.c_str());
  for (auto &out : zud.outputs) out->expired(heard, late);
}

void healthchanged(const receiverhealth &health, void *owner) {
  gateway &zud = *static_cast<gateway *>(owner);
  for (auto &out : zud.outputs) out->healthchanged(health);
}

// The values of a configuration item with many values.
std::vector<std::string> configvalues(xPL_ServicePtr service, const char *name) {
  std::vector<std::string> values;
  const int count = xPL_getServiceConfigValueCount(service, name);
  for (int i = 0; i < count; i++) {
    const char *text = xPL_getServiceConfigValueAt(service, name, i);
    if (text != nullptr) values.emplace_back(text);
  }
  return values;
}

// The gateway's items as "name=value" words, several values joined by commas.
std::vector<std::pair<std::string, std::string>> configwords(xPL_ServicePtr service) {
  std::vector<std::pair<std::string, std::string>> words;
  for (const item &it : items) {
    std::string joined;
    for (const std::string &value : configvalues(service, it.name)) {
      joined += (joined.empty() ? "" : ",") + value;
    }
    words.emplace_back(it.name, joined);
  }
  return words;
}

// One plain line per alert heard: what, where, until when, from where, and
// where it went.
void sayalert(const heardalert &heard, bool repeat, const std::string &went) {
  const alert &a = heard.values;
  std::printf("%s: %s for %s, until %s, from %s -- %s\n", repeat ? "alert heard again" : "alert",
              a.event.c_str(), placesof(a).c_str(), localtext(a.expires).c_str(),
              heard.origin.c_str(), went.empty() ? "went nowhere" : went.c_str());
}

// One plain line: the configuration at start, then what each change changed.
void sayconfiguration(gateway &zud) {
  const auto now = configwords(zud.zudService);
  const bool first = zud.configuration.empty();
  std::string line;
  for (const auto &word : now) {
    const std::string &name = word.first;
    const std::string &value = word.second;
    const auto before = std::find_if(zud.configuration.begin(), zud.configuration.end(),
                                     [&](const auto &w) { return w.first == name; });
    const bool known = before != zud.configuration.end();
    if (!first && known && before->second == value) continue;
    line += (line.empty() ? " " : ", ") + name + "=" + (value.empty() ? "(none)" : value);
    if (!first && known) {
      line += " (was " + (before->second.empty() ? std::string("none") : before->second) + ")";
    }
  }
  if (first) {
    std::printf("configuration:%s\n", line.c_str());
  } else if (line.empty()) {
    std::printf("configuration received: nothing changed\n");
  } else {
    std::printf("configuration changed:%s\n", line.c_str());
  }
  zud.configuration = now;
}

// Whether the receiver is set to pass the Required Weekly Test.
bool passestests(const std::vector<std::string> &events) {
  return std::find(events.begin(), events.end(), "RWT") != events.end();
}

std::int64_t monotonicms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

gateway::gateway() : alerts(alertexpired, this) {
  link.owner = this;
  link.lineHandler = [](std::string_view line, void *owner) {
    gateway &zud = *static_cast<gateway *>(owner);
    lineheard(zud, line, zud.link.tfile.value_or(""));
  };
  link.readyHandler = [](void *owner) {
    gateway &zud = *static_cast<gateway *>(owner);
    if (zud.zudService != nullptr) parseconfig(zud.zudService, zud.link);
  };
  link.answerHandler = [](bool answered, void *owner) {
    gateway &zud = *static_cast<gateway *>(owner);
    const std::time_t now = std::time(nullptr);
    const std::string path = zud.link.tfile.value_or("");
    for (auto &out : zud.outputs) out->receiveranswer(now, path, answered, {});
  };
}

void startoutputs(gateway &zud, const zudoptions &options,
                  const std::optional<mqttsettings> &mqtt) {
  const std::time_t now = std::time(nullptr);
  std::optional<std::time_t> lasttest;
  std::time_t since = now;
  std::unique_ptr<storeoutput> store;
  if (!options.store.empty()) {
    store = std::make_unique<storeoutput>(options.store);
    zud.store = store.get();
    zud.store->open();
    if (alertstore *kept = zud.store->store()) {
      // A restart keeps the alerts in force, and the watchdog its history;
      // the alerts that expired while zud was stopped are announced once,
      // late, at the loop's first turn, when every output is on the list.
      if (auto alerts = kept->inforce(now)) {
        for (const storedalert &stored : *alerts) zud.alerts.add(stored.heard, now);
      }
      if (auto expired = kept->unannounced(now)) {
        for (const storedalert &stored : *expired) zud.alerts.addlate(stored.heard);
      }
      const auto &inforce = zud.alerts.alerts();
      if (!inforce.empty()) {
        std::printf("%zu alert%s in force, the next expires %s\n", inforce.size(),
                    inforce.size() == 1 ? "" : "s",
                    localtext(inforce.front().values.expires).c_str());
      }
      if (auto health = kept->health()) {
        lasttest = health->lasttest;
        since = health->created;
      }
    }
  }
  auto dog = std::make_unique<watchdog>(options.testoverduedays, healthchanged, &zud);
  zud.dog = dog.get();
  if (zud.zudService != nullptr) {
    zud.dog->settestexpected(passestests(configvalues(zud.zudService, "event")), now);
  }
  zud.dog->start(lasttest, since, now);

  // In the order each alert reaches them: the xPL trigger first; then MQTT,
  // whose publication need not wait for a disk write, and which records
  // what the broker owes in the store right after it; then the store, the
  // watchdog, and the commands per alert, slowest of all.
  zud.outputs.push_back(std::make_unique<xploutput>(zud.zudService));
  if (mqtt) {
    auto broker = std::make_unique<mqttoutput>(*mqtt, zud.alerts.alerts(), zud.store);
    // Alerts heard while MQTT was on that the broker never acknowledged.
    if (alertstore *kept = zud.store != nullptr ? zud.store->store() : nullptr) {
      if (auto owed = kept->owed(mqttoutput::channel)) {
        for (const storedalert &stored : *owed) broker->oweagain(stored.heard);
      }
    }
    broker->healthchanged(zud.dog->health());
    broker->start();
    zud.outputs.push_back(std::move(broker));
  }
  if (store) zud.outputs.push_back(std::move(store));
  zud.outputs.push_back(std::move(dog));
  if (!options.onalert.empty() || !options.onexpire.empty() || !options.onaudio.empty()) {
    zud.outputs.push_back(std::make_unique<hookoutput>(options.onalert, options.onexpire,
                                                       options.onaudio, options.hooktimeout));
  }
}

std::optional<heardalert> lineheard(gateway &zud, std::string_view line, const std::string &origin,
                                    std::optional<std::string_view> heardas) {
  const std::time_t received = std::time(nullptr);
  // The echo is a trace, like the dumps of the line.
  std::optional<std::string_view> echo;
  if (zud.link.debug) echo = heardas ? *heardas : line;
  const decoding decoded = heardline(line, zud.countynames, received, echo);
  if (const alert *values = std::get_if<alert>(&decoded)) {
    heardalert heard{*values, received, origin, origin == sampleorigin};
    const bool repeat = !zud.alerts.add(heard, received) && zud.alerts.contains(alertkey(*values));
    std::string went;
    for (auto &out : zud.outputs) {
      const std::string here = out->alertheard(heard, repeat);
      if (!here.empty()) went += (went.empty() ? "" : ", ") + here;
    }
    sayalert(heard, repeat, went);
    return heard;
  }
  if (const rejection *why = std::get_if<rejection>(&decoded)) {
    const std::string text = printable(line);
    for (auto &out : zud.outputs) out->rejected(received, text, why->reason);
  }
  return std::nullopt;
}

void startsources(gateway &zud, const zudoptions &options) {
  linesource::handlers handlers;
  handlers.line = [](const sourceline &line, const linesource &from, void *owner) {
    return sourceheard(*static_cast<gateway *>(owner), line, from);
  };
  handlers.message = [](const std::string &header, const std::string &path, double seconds,
                        const linesource &from, void *owner) {
    messagekept(*static_cast<gateway *>(owner), header, path, seconds, from);
  };
  handlers.level = [](bool problem, const std::string &why, const linesource &from, void *owner) {
    gateway &zud = *static_cast<gateway *>(owner);
    if (problem) {
      std::fprintf(stderr, "zud: %s -- check the receiver, its antenna and its volume\n",
                   why.c_str());
    } else {
      std::printf("%s: its sound is as it should be again\n", from.name().c_str());
    }
    const std::time_t now = std::time(nullptr);
    for (auto &out : zud.outputs) out->receiveranswer(now, from.origin(), !problem, why);
  };
  audiosettings sound;
  sound.rate = options.audiorate;
  sound.messagemax = options.messagemax;
  sound.dir = audiodirectory(options);
  for (const sourceoption &option : options.sources) {
    zud.sources.push_back(std::make_unique<linesource>(static_cast<int>(zud.sources.size()) + 1,
                                                       option, handlers, &zud, sound));
    zud.sources.back()->start();
  }
  if (!sound.dir.empty()) keepaudiofor(sound.dir, options.audiokeep);
}

bool sourceheard(gateway &zud, const sourceline &line, const linesource &source) {
  // An end of message closes what the radio already passed on: nothing to send.
  if (line.kind != linekind::header) return false;
  const std::string header(line.header);
  // Read at each header: the configuration may change at any time.
  samefilter filter;
  if (zud.zudService != nullptr) {
    filter.fips = configvalues(zud.zudService, "fips");
    filter.events = configvalues(zud.zudService, "event");
  }
  if (!passes(filter, header)) {
    std::printf("%s: %s -- not for the configured fips and events, not sent\n",
                source.name().c_str(), printable(header).c_str());
    return false;
  }
  if (zud.sourcerepeats.repeat(header, monotonicms())) {
    std::printf("%s: %s -- heard again within 15 s, not sent again\n", source.name().c_str(),
                printable(header).c_str());
    return false;
  }
  // The decoder wants a preamble, which the source's line never had: the
  // echo shows the line as the source printed it.
  std::optional<heardalert> heard = lineheard(zud, withpreamble(header), source.origin(), header);
  if (!heard) return false;
  zud.lastheard[source.origin()] = std::move(*heard);
  return true;
}

void messagekept(gateway &zud, const std::string &header, const std::string &path, double seconds,
                 const linesource &source) {
  const auto heard = zud.lastheard.find(source.origin());
  if (heard == zud.lastheard.end() || heard->second.values.header != printable(header)) {
    // Its alert is not the last this source gave (a later header came
    // between): the file stays, but belongs to no alert.
    std::printf("%s: a message of %.0f s kept at %s, for no alert heard now\n",
                source.name().c_str(), seconds, path.c_str());
    return;
  }
  const alert &a = heard->second.values;
  std::printf("message kept: %s for %s, %.0f s, at %s\n", a.event.c_str(), placesof(a).c_str(),
              seconds, path.c_str());
  for (auto &out : zud.outputs) out->messagekept(heard->second, path, seconds);
}

std::string audiodirectory(const zudoptions &options) {
  if (!options.keepaudio) return std::string();
  std::string dir = options.audiodir;
  if (dir.empty()) {
    const std::size_t slash = options.store.rfind('/');
    dir = options.store.empty() || slash == std::string::npos
              ? "audio"
              : options.store.substr(0, slash + 1) + "audio";
  }
  // Whole, so that the store, MQTT and the commands get a path that means
  // the same wherever they run.
  char here[4096];
  if (dir[0] != '/' && getcwd(here, sizeof here) != nullptr) dir = std::string(here) + "/" + dir;
  return dir;
}

namespace {

// Where messages are kept, and for how many days: one directory at most.
std::string keptdir;
int keptdays = 0;

void dropoldmessages(void *) {
  const std::time_t oldest = std::time(nullptr) - static_cast<std::time_t>(keptdays) * 86400;
  if (DIR *dir = opendir(keptdir.c_str())) {
    while (const dirent *entry = readdir(dir)) {
      const std::string name = entry->d_name;
      const bool ours = name.size() > 5 && (name.compare(name.size() - 5, 5, ".flac") == 0 ||
                                            name.find(".flac.part") != std::string::npos);
      struct stat st {};
      const std::string path = keptdir + "/" + name;
      if (ours && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_mtime < oldest) {
        if (std::remove(path.c_str()) == 0) std::printf("message removed, %d days old: %s\n", keptdays, path.c_str());
      }
    }
    closedir(dir);
  }
  xPL_addTimer(dropoldmessages, 86400 * 1000, nullptr);
}

}  // namespace

void keepaudiofor(const std::string &dir, int days) {
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "zud: cannot make %s for the spoken messages (%s) -- none can be kept\n",
                 dir.c_str(), std::strerror(errno));
  }
  keptdir = dir;
  keptdays = days;
  xPL_removeTimer(dropoldmessages, nullptr);
  dropoldmessages(nullptr);
}

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

void parseconfig(xPL_ServicePtr service, receiver &link) {
  bool changed = false;
  const char *text;

  if ((text = xPL_getServiceConfigValue(service, "device")) != nullptr) {
    if (link.debug) fprintf(stderr, "device=%s\n", text);
    // The rest is mapped once the new port's block has been read (the
    // opening's end runs the mapping again), not onto the old port's block.
    if (text[0] != '\0' && (!link.tfile || *link.tfile != text) && opendevice(link, text)) return;
  }
  if ((text = xPL_getServiceConfigValue(service, "freq")) != nullptr) {
    if (link.debug) fprintf(stderr, "freq=%s\n", text);
    if (link.configread && mapfreq(link, text, offsetof(zudconfig, mainfreq))) changed = true;
  }
  if ((text = xPL_getServiceConfigValue(service, "altfreq")) != nullptr) {
    if (link.debug) fprintf(stderr, "altfreq=%s\n", text);
    if (link.configread && mapfreq(link, text, offsetof(zudconfig, altfreq))) changed = true;
  }
  if (link.configread && xPL_getServiceConfigValue(service, "fips") != nullptr &&
      mapslots(link, service, "fips", offsetof(zudconfig, fips), fipsslots, fipslength)) {
    changed = true;
  }
  if ((text = xPL_getServiceConfigValue(service, "eomreset")) != nullptr) {
    if (link.debug) fprintf(stderr, "eomreset=%s\n", text);
    if (mapflag(link, text, offsetof(zudconfig, eomresetmode))) changed = true;
  }
  if ((text = xPL_getServiceConfigValue(service, "usealtfreq")) != nullptr) {
    if (link.debug) fprintf(stderr, "usealtfreq=%s\n", text);
    if (mapflag(link, text, offsetof(zudconfig, altfreqmode))) changed = true;
  }
  if (link.configread && xPL_getServiceConfigValue(service, "event") != nullptr &&
      mapslots(link, service, "event", offsetof(zudconfig, events), eventslots, eventlength)) {
    changed = true;
  }

  if (link.configread && changed) {
    unsigned char newconfig[blocksize];
    uploadimage(link.config, newconfig);
    if (link.debug) outputconfig(newconfig);
    if (link.uploadchanges) writeconfig(link, newconfig);
  }
}

void configChangedHandler(xPL_ServicePtr, xPL_ObjectPtr userData) {
  configchanged(*static_cast<gateway *>(userData));
}

void configchanged(gateway &zud) {
  sayconfiguration(zud);
  // Never in the middle of an exchange with the receiver (an upload, an
  // opening): the new values are mapped as soon as it ends, never dropped.
  if (linebusy(zud.link)) {
    zud.link.remap = true;
  } else {
    parseconfig(zud.zudService, zud.link);
  }
  const std::vector<std::string> codes = configvalues(zud.zudService, "event");
  if (zud.dog != nullptr) zud.dog->settestexpected(passestests(codes), std::time(nullptr));
  for (auto &out : zud.outputs) out->eventsconfigured(codes);
}

void shutdownHandler(gateway &zud) {
  std::printf("zud stopping: goodbye to the network, the commands it runs ended\n");
  xPL_setServiceEnabled(zud.zudService, FALSE);
  for (auto &source : zud.sources) source->stop();
  for (auto &out : zud.outputs) out->stopping();
  // No command zud runs may outlive it: bounded, so that a command that
  // ignores TERM delays the stop by 2 s at most.
  endallchildren();
  zud.sources.clear();
  // Closed in order, so that the store is left whole.
  zud.store = nullptr;
  zud.dog = nullptr;
  zud.outputs.clear();
  xPL_releaseService(zud.zudService);
  zud.zudService = nullptr;
  xPL_shutdown();
  exit(0);
}

void test2(gateway &zud) {
  lineheard(zud, reinterpret_cast<const char *>(samplesame), sampleorigin);
}

void blocksignals() {
  const sigset_t acted = actedon();
  sigprocmask(SIG_BLOCK, &acted, nullptr);
}

bool installsignals(gateway &zud) {
  signalled = &zud;
  const sigset_t acted = actedon();
  int ends[2];
  bool ok = pipe2(ends, O_NONBLOCK | O_CLOEXEC) == 0;
  if (ok) {
    signalpipe = ends[1];
    struct sigaction action {};
    action.sa_handler = recordsignal;
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&action.sa_mask);
    for (int sig : signalsactedon) ok = ok && sigaction(sig, &action, nullptr) == 0;
    ok = ok && xPL_addIODevice(signalsready, 0, ends[0], TRUE, FALSE, FALSE) == TRUE;
  }
  // Let in even when an action could not be set: TERM must still stop zud.
  sigprocmask(SIG_UNBLOCK, &acted, nullptr);
  return ok;
}
