// A corpus of typical xPL datagrams for the parse benchmark: what a
// device on a busy home network hears in an evening.  Heartbeats (hbeat.app
// and config.app), sensor triggers (sensor.basic), X10 commands (x10.basic),
// configuration traffic (config.list, config.current, config.response) and
// weather alerts, with 3 to 29 body pairs each, all three message types and
// broadcast, targeted and group targets.
//
// The corpus depends on the seed alone: the values are drawn from the raw
// output of std::mt19937, whose sequence the standard fixes, and never
// through the distributions, whose results vary between standard libraries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace corpus {

// The corpus: `count` datagram texts in one buffer, each ended by a NUL, and
// where each begins.  One buffer keeps the texts side by side in memory, as
// the texts of a burst would be.
struct Datagrams {
  std::string text;
  std::vector<std::size_t> starts;
  const char *at(std::size_t i) const { return text.data() + starts[i]; }
  std::size_t size() const { return starts.size(); }
};

namespace detail {

using Pairs = std::vector<std::pair<std::string, std::string>>;

constexpr std::size_t kMinPairs = 3;
constexpr std::size_t kMaxPairs = 30;

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : random_(seed) {}

  // A number from 0 to n - 1.
  std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(random_() % n); }
  // True in `percent` cases out of 100.
  bool chance(std::uint32_t percent) { return below(100) < percent; }
  template <std::size_t N>
  const char *oneOf(const char *const (&choices)[N]) {
    return choices[below(N)];
  }

  std::string number(std::uint32_t low, std::uint32_t high) {
    return std::to_string(low + below(high - low + 1));
  }

  // An instance ID: most devices use a generated one, some a chosen name.
  std::string instance() {
    static const char *const kNames[] = {"kitchen", "lounge", "garage", "attic", "main",
                                         "upstairs", "porch", "cellar", "office", "den"};
    if (chance(30)) return oneOf(kNames);
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string id;
    for (int i = 0; i < 12; i++) id += kDigits[below(i < 10 ? 16 : 36)];
    return id;
  }

  std::string identity() {
    static const char *const kVendors[] = {"kelvora", "acme", "mal", "rfxcom", "wmr",
                                           "cm12", "hal", "slimdev", "tonyt", "home"};
    static const char *const kDevices[] = {"zud", "sensor", "x10gw", "logger", "thermo",
                                           "lights", "meteo", "confmgr", "display", "alarm"};
    return std::string(oneOf(kVendors)) + "-" + oneOf(kDevices) + "." + instance();
  }

  std::string address() {
    return "192.168." + number(0, 3) + "." + number(2, 254);
  }

  std::string county() {
    static const char *const kCounties[] = {"Ada ID",      "Canyon ID",    "Boise ID",
                                            "Elmore ID",   "Gem ID",       "Owyhee ID",
                                            "Payette ID",  "Malheur OR",   "Oklahoma OK",
                                            "Cleveland OK", "Logan OK",    "Lincoln OK",
                                            "Harris TX",   "Dallas TX",    "Travis TX"};
    return oneOf(kCounties);
  }

 private:
  std::mt19937 random_;
};

struct Message {
  const char *type = "xpl-stat";
  std::string target = "*";
  std::string schema;
  Pairs body;
};

inline Message heartbeat(Generator &g) {
  Message m;
  m.schema = g.chance(75) ? "hbeat.app" : "config.app";
  m.body = {{"interval", g.number(1, 30)},
            {"port", g.number(49152, 65535)},
            {"remote-ip", g.address()}};
  if (g.chance(80)) m.body.push_back({"version", "1." + g.number(0, 9)});
  return m;
}

inline Message sensor(Generator &g) {
  struct Kind {
    const char *type;
    const char *units;
  };
  static const Kind kKinds[] = {{"temp", "C"},  {"humidity", "%"}, {"battery", "%"},
                                {"input", ""},  {"count", ""},     {"power", "W"},
                                {"energy", "kWh"}, {"pressure", "hPa"}};
  const Kind &kind = kKinds[g.below(sizeof kKinds / sizeof kKinds[0])];
  Message m;
  m.type = g.chance(80) ? "xpl-trig" : "xpl-stat";
  m.schema = "sensor.basic";
  m.body = {{"device", std::string(kind.type) + "_" + g.instance()},
            {"type", kind.type},
            {"current", g.number(0, 1200) + "." + g.number(0, 9)}};
  if (*kind.units != '\0' && g.chance(70)) m.body.push_back({"units", kind.units});
  if (g.chance(20)) m.body.push_back({"lowbattery", g.chance(90) ? "false" : "true"});
  return m;
}

inline Message x10(Generator &g) {
  static const char *const kCommands[] = {"on", "off", "dim", "bright", "all_lights_on",
                                          "all_lights_off", "extended"};
  Message m;
  m.type = "xpl-cmnd";
  std::uint32_t aim = g.below(10);
  if (aim < 4) m.target = "*";
  else if (aim < 8) m.target = "rfxcom-x10gw." + g.instance();
  else m.target = g.chance(50) ? "xpl-group.lights" : "XPL-GROUP.downstairs";
  m.schema = "x10.basic";
  std::string house(1, static_cast<char>('A' + g.below(16)));
  std::string devices = house + g.number(1, 16);
  for (std::uint32_t more = g.below(3); more > 0; more--) devices += "," + house + g.number(1, 16);
  m.body = {{"command", g.oneOf(kCommands)}, {"device", devices}, {"level", g.number(0, 100)}};
  if (g.chance(15)) m.body.push_back({"data1", g.number(0, 255)});
  return m;
}

// Values of the configuration items that a configurable device reports or
// is given: the standard ones first, then the device's own.
inline void configValues(Generator &g, Pairs *body) {
  body->push_back({"newconf", g.instance()});
  body->push_back({"interval", g.number(1, 30)});
  for (std::uint32_t n = g.below(3); n > 0; n--) body->push_back({"group", "xpl-group.room" + g.number(1, 9)});
  if (g.chance(30)) body->push_back({"filter", "xpl-trig.*.*.*.sensor.*"});
  body->push_back({"device", "/dev/ttyUSB" + g.number(0, 3)});
  body->push_back({"freq", "162." + g.number(400, 550)});
  body->push_back({"altfreq", "162." + g.number(400, 550)});
  for (std::uint32_t n = 1 + g.below(4); n > 0; n--) body->push_back({"fips", "0" + g.number(10000, 56999)});
  body->push_back({"eomreset", g.chance(50) ? "true" : "false"});
  body->push_back({"usealtfreq", g.chance(50) ? "true" : "false"});
  static const char *const kEvents[] = {"TOR", "SVR", "FFW", "WSW", "BZW", "EVI", "RWT", "RMT",
                                        "SVS", "FLW", "HUW", "TSW", "CEM", "SPW", "EAN"};
  for (std::uint32_t n = 1 + g.below(15); n > 0; n--) body->push_back({"event", g.oneOf(kEvents)});
}

inline Message config(Generator &g) {
  Message m;
  std::uint32_t kind = g.below(3);
  if (kind == 0) {
    m.schema = "config.list";
    m.body = {{"reconf", "newconf"}, {"reconf", "interval"}, {"option", "group[16]"},
              {"option", "filter[16]"}};
    static const char *const kItems[] = {"reconf=device", "reconf=freq", "reconf=altfreq",
                                         "reconf=fips[4]", "reconf=eomreset",
                                         "reconf=usealtfreq", "reconf=event[80]",
                                         "config=name", "option=units"};
    for (std::uint32_t n = 3 + g.below(8); n > 0; n--) {
      std::string item = g.oneOf(kItems);
      std::size_t equals = item.find('=');
      m.body.push_back({item.substr(0, equals), item.substr(equals + 1)});
    }
  } else {
    m.schema = kind == 1 ? "config.current" : "config.response";
    configValues(g, &m.body);
  }
  if (kind == 2) {
    m.type = "xpl-cmnd";
    m.target = "kelvora-zud." + g.instance();
  }
  return m;
}

inline Message alert(Generator &g) {
  static const char *const kEvents[] = {"Tornado Warning", "Severe Thunderstorm Warning",
                                        "Flash Flood Warning", "Required Weekly Test",
                                        "Winter Storm Warning", "Flood Watch"};
  Message m;
  m.type = "xpl-trig";
  m.schema = "weather.alert";
  m.body = {{"originator", "National Weather Service"}, {"event", g.oneOf(kEvents)}};
  for (std::uint32_t n = 1 + g.below(20); n > 0; n--) m.body.push_back({"location", g.county()});
  m.body.push_back({"duration", g.number(15, 600)});
  m.body.push_back({"date", "2026" + g.number(10, 12) + g.number(10, 28)});
  m.body.push_back({"time", g.number(10, 23) + g.number(10, 59) + "00"});
  m.body.push_back({"source", "KBOI/NWS"});
  return m;
}

inline std::string text(Generator &g, const Message &m) {
  // A few stacks write the keyword in capitals; the parser folds it.
  std::string type = m.type;
  if (g.chance(3)) {
    for (char &c : type) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  }
  std::string out = type + "\n{\nhop=" + (g.chance(90) ? "1" : g.number(2, 3)) +
                    "\nsource=" + g.identity() + "\ntarget=" + m.target + "\n}\n" + m.schema +
                    "\n{\n";
  std::size_t pairs = m.body.size() < kMaxPairs ? m.body.size() : kMaxPairs;
  for (std::size_t i = 0; i < pairs; i++) out += m.body[i].first + "=" + m.body[i].second + "\n";
  out += "}\n";
  return out;
}

}  // namespace detail

// `count` datagrams drawn with `seed`: about a third heartbeats, a quarter
// sensor triggers, the rest X10 commands, configuration traffic and alerts.
inline Datagrams typicalDatagrams(std::size_t count, std::uint32_t seed) {
  detail::Generator g(seed);
  Datagrams out;
  out.starts.reserve(count);
  for (std::size_t i = 0; i < count; i++) {
    std::uint32_t kind = g.below(100);
    detail::Message m = kind < 35   ? detail::heartbeat(g)
                        : kind < 60 ? detail::sensor(g)
                        : kind < 72 ? detail::x10(g)
                        : kind < 85 ? detail::config(g)
                                    : detail::alert(g);
    out.starts.push_back(out.text.size());
    out.text += detail::text(g, m);
    out.text += '\0';
  }
  return out;
}

}  // namespace corpus
