// alertjson.h -- an alert as JSON, written by nlohmann/json, the project's
// one JSON writer: the same object serves MQTT payloads, the environment
// of a command per alert and zud-alerts --json.
#ifndef ZUD_ALERTJSON_H
#define ZUD_ALERTJSON_H

#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "outputs/output.h"

// JSON objects keep their keys in the order written, for people who read them.
using jsonvalue = nlohmann::ordered_json;

// "warning", "watch", "emergency", "statement", "test", "advisory" or
// "other": the last word of the event code's description.
const char *significance(std::string_view eventcode);

// The alert's object: id (its alertkey, so that a consumer can drop the
// second copy that an at-least-once delivery brings after a crash),
// event_type, event, originator_code, originator, significance, locations
// [{code, name}], issued, expires, received, duration (the purge text),
// station, header; and "sample": true for the built-in sample only.
jsonvalue alertjson(const heardalert &heard);

// Compact JSON text in printable ASCII (anything else escaped as \uXXXX);
// bytes that are not UTF-8 (a damaged station name) become U+FFFD instead
// of failing.
std::string jsontext(const jsonvalue &value);

#endif  // ZUD_ALERTJSON_H
