// options.cpp -- zud's own command-line options, one table row each.
#include "core/options.h"

#include "commandline.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

namespace {

// Sets `field` to `text`, a whole number of `unit` from `lowest` to
// `highest`; the complaint when it is not one.
std::string setnumber(int &field, std::string_view text, long lowest, long highest,
                      const char *unit) {
  const std::optional<long> n = commandline::wholenumber(text, lowest, highest);
  if (!n) {
    return "expects a whole number of " + std::string(unit) + " from " + std::to_string(lowest) +
           " to " + std::to_string(highest);
  }
  field = static_cast<int>(*n);
  return std::string();
}

// A value that must not be empty, kept as it is.
std::string text(std::string &into, std::string_view value) {
  if (value.empty()) return "needs a value";
  into = std::string(value);
  return std::string();
}

// One option: its name, whether it takes a value, and how it is applied.
// `apply` returns an error text, empty when the value was good.  An option
// that does something only beside another names it in `needs` ("A|B": one of
// them): given alone it is refused, not ignored in silence.
struct optionrule {
  std::string_view name;
  bool takesvalue;
  std::string (*apply)(zudoptions &options, std::string_view value);
  std::string_view needs = {};
};

constexpr optionrule rules[] = {
    {"--all-counties", false,
     [](zudoptions &o, std::string_view) {
       o.countynames = CountyNames::all;
       return std::string();
     }},
    {"--upload", false,
     [](zudoptions &o, std::string_view) {
       o.upload = true;
       return std::string();
     }},
    {"--debug", false,
     [](zudoptions &o, std::string_view) {
       o.debug = true;
       return std::string();
     }},
    {"--no-debug", false,
     [](zudoptions &o, std::string_view) {
       o.debug = false;
       return std::string();
     }},
    {"--store", true,
     [](zudoptions &o, std::string_view path) {
       if (path.empty()) return std::string("needs a file name, or none");
       o.store = path == "none" ? std::string() : std::string(path);
       return std::string();
     }},
    {"--test-overdue", true,
     [](zudoptions &o, std::string_view days) {
       return setnumber(o.testoverduedays, days, 0, 3650, "days");
     }},
    // Read and checked as a whole by checkmqtt (mqttsettings.h) before zud starts.
    {"--mqtt", true, [](zudoptions &o, std::string_view v) { return text(o.mqtt.url, v); }},
    {"--mqtt-user", true, [](zudoptions &o, std::string_view v) { return text(o.mqtt.user, v); },
     "--mqtt"},
    {"--mqtt-password-file", true,
     [](zudoptions &o, std::string_view v) { return text(o.mqtt.passwordfile, v); }, "--mqtt"},
    {"--mqtt-cafile", true,
     [](zudoptions &o, std::string_view v) { return text(o.mqtt.cafile, v); }, "--mqtt"},
    {"--mqtt-topic", true, [](zudoptions &o, std::string_view v) { return text(o.mqtt.topic, v); },
     "--mqtt"},
    {"--mqtt-discovery", true,
     [](zudoptions &o, std::string_view v) { return text(o.mqtt.discovery, v); }, "--mqtt"},
    {"--source-command", true,
     [](zudoptions &o, std::string_view command) {
       if (command.empty()) return std::string("needs a command");
       o.sources.push_back({sourceoption::kind::command, std::string(command)});
       return std::string();
     }},
    {"--source-file", true,
     [](zudoptions &o, std::string_view path) {
       if (path.empty()) return std::string("needs a path, or - for standard input");
       o.sources.push_back({sourceoption::kind::file, std::string(path)});
       return std::string();
     }},
    {"--audio-command", true,
     [](zudoptions &o, std::string_view command) {
       if (command.empty()) return std::string("needs a command");
       o.sources.push_back({sourceoption::kind::command, std::string(command), true});
       return std::string();
     }},
    {"--audio-file", true,
     [](zudoptions &o, std::string_view path) {
       if (path.empty()) return std::string("needs a path, or - for standard input");
       o.sources.push_back({sourceoption::kind::file, std::string(path), true});
       return std::string();
     }},
    {"--audio-rate", true,
     [](zudoptions &o, std::string_view hz) {
       return setnumber(o.audiorate, hz, 8000, 48000, "samples a second");
     },
     "--audio-command|--audio-file"},
    {"--message-max", true,
     [](zudoptions &o, std::string_view seconds) {
       return setnumber(o.messagemax, seconds, 1, 3600, "seconds");
     },
     "--audio-command|--audio-file"},
    {"--audio-dir", true,
     [](zudoptions &o, std::string_view dir) {
       if (dir.empty()) return std::string("needs a directory, or none");
       o.keepaudio = dir != "none";
       o.audiodir = dir == "none" ? std::string() : std::string(dir);
       return std::string();
     },
     "--audio-command|--audio-file"},
    {"--audio-keep", true,
     [](zudoptions &o, std::string_view days) {
       return setnumber(o.audiokeep, days, 1, 36500, "days");
     },
     "--audio-command|--audio-file"},
    {"--on-audio", true,
     [](zudoptions &o, std::string_view command) {
       o.onaudio = command;
       return std::string();
     },
     "--audio-command|--audio-file"},
    {"--on-alert", true,
     [](zudoptions &o, std::string_view command) {
       o.onalert = command;
       return std::string();
     }},
    {"--on-expire", true,
     [](zudoptions &o, std::string_view command) {
       o.onexpire = command;
       return std::string();
     }},
    {"--hook-timeout", true,
     [](zudoptions &o, std::string_view seconds) {
       return setnumber(o.hooktimeout, seconds, 1, 86400, "seconds");
     },
     "--on-alert|--on-expire|--on-audio"},
};

const optionrule *findrule(std::string_view name) {
  for (const optionrule &rule : rules) {
    if (rule.name == name) return &rule;
  }
  return nullptr;
}

// The complaint about an option zud does not know: the library's own
// options take one dash, which two by habit would miss.
std::string unknown(std::string_view arg, std::string_view name) {
  if (arg.empty() || arg[0] != '-') return "unexpected argument '" + std::string(arg) + "'";
  std::string why = "unknown option '" + std::string(name) + "'";
  for (std::string_view library : {"-interface", "-xpldebug"}) {
    if (name.size() == library.size() + 1 && name.substr(1) == library) {
      why += " (did you mean " + std::string(library) + ", with one dash?)";
    }
  }
  return why;
}

// Whether any of the '|'-separated option names in `needs` was given.
bool anygiven(std::string_view needs, const std::vector<std::string_view> &given) {
  while (!needs.empty()) {
    const std::size_t bar = needs.find('|');
    const std::string_view one = needs.substr(0, bar);
    if (std::find(given.begin(), given.end(), one) != given.end()) return true;
    needs = bar == std::string_view::npos ? std::string_view() : needs.substr(bar + 1);
  }
  return false;
}

// "--a, --b or --c" for "--a|--b|--c".
std::string alternatives(std::string_view needs) {
  std::string text;
  while (!needs.empty()) {
    const std::size_t bar = needs.find('|');
    if (!text.empty()) text += bar == std::string_view::npos ? " or " : ", ";
    text += needs.substr(0, bar);
    needs = bar == std::string_view::npos ? std::string_view() : needs.substr(bar + 1);
  }
  return text;
}

}  // namespace

parsedoptions parseoptions(int argc, const char *const *argv) {
  parsedoptions parsed;
  std::vector<std::string_view> given;
  for (int i = 1; i < argc; i++) {
    const std::string_view arg = argv[i];
    const std::size_t equals = arg.find('=');
    const bool joined = arg.rfind("--", 0) == 0 && equals != std::string_view::npos;
    const std::string_view name = joined ? arg.substr(0, equals) : arg;
    const optionrule *rule = findrule(name);
    if (rule == nullptr) {
      parsed.error = unknown(arg, name);
      return parsed;
    }
    given.push_back(rule->name);
    std::string_view value;
    if (joined) {
      if (!rule->takesvalue) {
        parsed.error = "option '" + std::string(name) + "' takes no value";
        return parsed;
      }
      value = arg.substr(equals + 1);
    } else if (rule->takesvalue) {
      if (i + 1 >= argc) {
        parsed.error = "option '" + std::string(name) + "' needs a value";
        return parsed;
      }
      value = argv[++i];
    }
    std::string why = rule->apply(parsed.options, value);
    if (!why.empty()) {
      parsed.error = std::string(name) + ": " + why;
      return parsed;
    }
  }
  for (const std::string_view name : given) {
    const optionrule &rule = *findrule(name);
    if (!rule.needs.empty() && !anygiven(rule.needs, given)) {
      parsed.error = std::string(name) + " has no effect without " + alternatives(rule.needs);
      return parsed;
    }
  }
  return parsed;
}

bool uploadfromenvironment() {
  const char *upload = std::getenv("ZUD_UPLOAD");
  return upload != nullptr && std::strcmp(upload, "1") == 0;
}
