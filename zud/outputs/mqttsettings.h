// mqttsettings.h -- what the MQTT options ask for, read and checked before
// anything starts: the broker's URL, the topic prefixes, the password (from
// a file or the environment, never from the command line) and the CA file.
//
// Everything here is plain text work or a file read, so that a wrong value
// is one line at start-up (exit status 2) rather than a daemon that runs and
// never reaches its broker.
#ifndef ZUD_MQTTSETTINGS_H
#define ZUD_MQTTSETTINGS_H

#include <optional>
#include <string>
#include <string_view>

// Where the broker is, from "mqtt://host[:port]" or "mqtts://host[:port]".
struct mqttbroker {
  bool tls = false;
  std::string host;  // a name, an IPv4 address, or an IPv6 address without brackets
  int port = 0;
};

// The broker of a URL, or why the URL cannot be used.
struct parsedbroker {
  mqttbroker broker;
  std::string error;  // empty when the URL was good
};
parsedbroker parsebrokerurl(std::string_view url);

// The URL as the reports name it: scheme, host and port.
std::string brokertext(const mqttbroker &broker);

// Why `prefix` cannot begin topics that zud publishes ("+" or "#", an empty
// level at either end, nothing at all); empty when it can.
std::string topicprefixerror(std::string_view prefix);

// "zud/<hostname>", the host name kept to letters, digits, "_" and "-" so
// that it is one topic level and a valid part of Home Assistant's ids.
std::string defaulttopicprefix(std::string_view hostname);

// The prefix as one id for Home Assistant and the broker: "zud/kitchen-pi"
// is "zud_kitchen-pi".
std::string nodeid(std::string_view prefix);

// Everything the MQTT output is started with.
struct mqttsettings {
  mqttbroker broker;
  std::string user;       // empty: none
  std::string password;   // empty: none
  std::string cafile;     // empty: the system's certificates (with TLS)
  std::string topic;      // every topic begins with it
  std::string discovery;  // Home Assistant's discovery prefix; empty: no discovery
};

// The command line's MQTT options as given.
struct mqttoptions {
  std::string url;           // --mqtt; empty: MQTT is off
  std::string user;          // --mqtt-user
  std::string passwordfile;  // --mqtt-password-file
  std::string cafile;        // --mqtt-cafile
  std::string topic;         // --mqtt-topic; empty: zud/<hostname>
  std::string discovery = "homeassistant";  // --mqtt-discovery; "none": off
};

// The settings, or one line saying which option is wrong and why.
struct checkedmqtt {
  std::optional<mqttsettings> settings;  // nothing when MQTT is off or on error
  std::string error;                     // empty when all was good
};

// Reads the password (the file's first line, else `environmentpassword`
// when not null) and checks that the CA file can be read; `hostname` makes
// the default topic prefix.
checkedmqtt checkmqtt(const mqttoptions &options, std::string_view hostname,
                      const char *environmentpassword);

#endif  // ZUD_MQTTSETTINGS_H
