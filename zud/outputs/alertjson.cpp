// alertjson.cpp -- an alert as JSON.
#include "outputs/alertjson.h"

#include <algorithm>
#include <cctype>

#include "same/timetext.h"

const char *significance(std::string_view code) {
  static constexpr const char *kinds[] = {"warning",   "watch", "emergency",
                                          "statement", "test",  "advisory"};
  const char *description = eventdescription(code);
  if (description == nullptr) return "other";
  const std::string_view words = description;
  std::string last(words.substr(words.rfind(' ') + 1));
  std::transform(last.begin(), last.end(), last.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const char *kind : kinds) {
    if (last == kind) return kind;
  }
  return "other";
}

jsonvalue alertjson(const heardalert &heard) {
  const alert &a = heard.values;
  jsonvalue locations = jsonvalue::array();
  for (std::size_t i = 0; i < a.locationcodes.size(); ++i) {
    locations.push_back({{"code", a.locationcodes[i]},
                         {"name", i < a.locations.size() ? a.locations[i] : std::string()}});
  }
  jsonvalue object = {{"id", alertkey(a)},
                      {"event_type", a.eventcode},
                      {"event", a.event},
                      {"originator_code", a.originatorcode},
                      {"originator", a.originator},
                      {"significance", significance(a.eventcode)},
                      {"locations", std::move(locations)},
                      {"issued", isotime(a.issued)},
                      {"expires", isotime(a.expires)},
                      {"received", isotime(heard.received)},
                      {"duration", a.purge},
                      {"station", a.source},
                      {"header", a.header}};
  if (heard.sample) object["sample"] = true;
  return object;
}

std::string jsontext(const jsonvalue &value) {
  // ASCII only: whatever a reader shows it on, no byte of it can be taken
  // for a terminal's control.
  return value.dump(-1, ' ', true, jsonvalue::error_handler_t::replace);
}
