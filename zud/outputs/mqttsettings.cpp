// mqttsettings.cpp -- the MQTT options read and checked.
#include "outputs/mqttsettings.h"

#include "commandline.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool idcharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// The whole of a small file, or why it cannot be read.
std::optional<std::string> readwhole(const std::string &path, std::string &why) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    why = std::strerror(errno);
    return std::nullopt;
  }
  std::string text;
  char chunk[4096];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      why = std::strerror(errno);
      close(fd);
      return std::nullopt;
    }
    text.append(chunk, static_cast<std::size_t>(n));
  }
  close(fd);
  return text;
}

}  // namespace

parsedbroker parsebrokerurl(std::string_view url) {
  parsedbroker parsed;
  mqttbroker &b = parsed.broker;
  std::string_view rest;
  if (url.rfind("mqtt://", 0) == 0) {
    rest = url.substr(7);
    b.port = 1883;
  } else if (url.rfind("mqtts://", 0) == 0) {
    rest = url.substr(8);
    b.tls = true;
    b.port = 8883;
  } else {
    parsed.error = "'" + std::string(url) + "' is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    return parsed;
  }
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  if (rest.find('@') != std::string_view::npos) {
    parsed.error = "a user or password does not belong in the URL: use --mqtt-user and "
                   "--mqtt-password-file";
    return parsed;
  }
  if (rest.find_first_of("/?#") != std::string_view::npos) {
    parsed.error = "'" + std::string(url) + "' has a path; give only the host and port";
    return parsed;
  }
  std::string_view port;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) {
      parsed.error = "'" + std::string(url) + "' opens an IPv6 address with [ but does not close it";
      return parsed;
    }
    b.host = std::string(rest.substr(1, close - 1));
    const std::string_view after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') {
        parsed.error = "'" + std::string(url) + "' has something after the address";
        return parsed;
      }
      port = after.substr(1);
      if (port.empty()) port = "none";
    }
  } else {
    const std::size_t colon = rest.find(':');
    b.host = std::string(rest.substr(0, colon));
    if (colon != std::string_view::npos) {
      port = rest.substr(colon + 1);
      if (port.empty()) port = "none";
    }
  }
  if (b.host.empty()) {
    parsed.error = "'" + std::string(url) + "' names no host";
    return parsed;
  }
  // A name of letters, digits, dots, hyphens and underscores, or an
  // address (in brackets for IPv6, with its zone after a %): anything else
  // (a space, say) could only fail at every attempt.
  const bool bracketed = !rest.empty() && rest.front() == '[';
  constexpr std::string_view alphanumeric =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const std::string allowed = std::string(alphanumeric) + (bracketed ? ":.%" : ".-_");
  if (b.host.find_first_not_of(allowed) != std::string::npos) {
    parsed.error = "'" + std::string(url) + "' names no host that can be: '" + b.host + "'";
    return parsed;
  }
  if (!port.empty()) {
    const std::optional<int> number = commandline::wholenumber(port, 1, 65535);
    if (!number) {
      parsed.error = "'" + std::string(url) + "' has no port number from 1 to 65535";
      return parsed;
    }
    b.port = *number;
  }
  return parsed;
}

std::string brokertext(const mqttbroker &broker) {
  const bool ipv6 = broker.host.find(':') != std::string::npos;
  return std::string(broker.tls ? "mqtts://" : "mqtt://") + (ipv6 ? "[" : "") + broker.host +
         (ipv6 ? "]" : "") + ":" + std::to_string(broker.port);
}

std::string topicprefixerror(std::string_view prefix) {
  if (prefix.empty()) return "is empty";
  if (prefix.find_first_of("+#") != std::string_view::npos)
    return "'" + std::string(prefix) + "' holds a wildcard (+ or #)";
  if (prefix.find('\0') != std::string_view::npos) return "holds a NUL byte";
  if (prefix.front() == '/' || prefix.back() == '/' ||
      prefix.find("//") != std::string_view::npos)
    return "'" + std::string(prefix) + "' has an empty level (a / at either end or //)";
  return "";
}

std::string defaulttopicprefix(std::string_view hostname) {
  std::string host;
  for (const char c : hostname) host += idcharacter(c) ? c : '_';
  return "zud/" + (host.empty() ? std::string("zud") : host);
}

std::string nodeid(std::string_view prefix) {
  std::string id;
  for (const char c : prefix) id += idcharacter(c) ? c : '_';
  return id;
}

checkedmqtt checkmqtt(const mqttoptions &options, std::string_view hostname,
                      const char *environmentpassword) {
  checkedmqtt checked;
  if (options.url.empty()) return checked;
  mqttsettings s;
  parsedbroker url = parsebrokerurl(options.url);
  if (!url.error.empty()) {
    checked.error = "--mqtt: " + url.error;
    return checked;
  }
  s.broker = url.broker;

  s.topic = options.topic.empty() ? defaulttopicprefix(hostname) : options.topic;
  if (std::string why = topicprefixerror(s.topic); !why.empty()) {
    checked.error = "--mqtt-topic: the prefix " + why;
    return checked;
  }
  if (options.discovery != "none") {
    if (std::string why = topicprefixerror(options.discovery); !why.empty()) {
      checked.error = "--mqtt-discovery: the prefix " + why;
      return checked;
    }
    s.discovery = options.discovery;
  }

  s.user = options.user;
  if (!options.passwordfile.empty()) {
    std::string why;
    const std::optional<std::string> text = readwhole(options.passwordfile, why);
    if (!text) {
      checked.error = "--mqtt-password-file: cannot read " + options.passwordfile + " (" + why + ")";
      return checked;
    }
    s.password = text->substr(0, text->find('\n'));
    if (!s.password.empty() && s.password.back() == '\r') s.password.pop_back();
    if (s.password.empty()) {
      checked.error = "--mqtt-password-file: " + options.passwordfile +
                      " holds no password on its first line";
      return checked;
    }
  } else if (environmentpassword != nullptr) {
    s.password = environmentpassword;
  }
  if (!s.password.empty() && s.user.empty()) {
    checked.error = std::string("a password for the broker (") +
                    (options.passwordfile.empty() ? "ZUD_MQTT_PASSWORD" : "--mqtt-password-file") +
                    ") needs --mqtt-user";
    return checked;
  }

  if (!options.cafile.empty()) {
    if (!s.broker.tls) {
      checked.error = "--mqtt-cafile: the broker's URL is mqtt://, which has no certificate to "
                      "check; use mqtts://";
      return checked;
    }
    std::string why;
    if (!readwhole(options.cafile, why)) {
      checked.error = "--mqtt-cafile: cannot read " + options.cafile + " (" + why + ")";
      return checked;
    }
    s.cafile = options.cafile;
  }
  checked.settings = std::move(s);
  return checked;
}
