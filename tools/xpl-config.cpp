// xpl-config -- configure xPL devices from a shell.
//
// A small configuration manager: it joins the xPL network like any device
// (through the local hub), finds the devices that announce themselves, asks a
// device for its configuration items (config.list) or its current values
// (config.current), and sends it a new configuration (config.response).
//
// The library's own options "-interface NAME" and "-xpldebug" are accepted
// anywhere on the command line.
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "toolkit.h"
#include "xPL.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char program[] = "xpl-config";
constexpr double defaultDiscoverSeconds = 5;
constexpr double defaultTimeoutSeconds = 5;
constexpr double maxSeconds = 3600;
// How long to wait for the hub's echo of our heartbeat before asking anyway.
constexpr double hubWaitSeconds = 2;
// Requests for a report are repeated this often until the answer comes.
constexpr double requestRepeatSeconds = 1;

constexpr const char toolVendor[] = "kelvora";
constexpr const char toolDevice[] = "config";

void printHelp(FILE *to) {
  fprintf(to,
          "usage: xpl-config [-interface NAME] [-xpldebug] COMMAND [ARGUMENTS] [OPTIONS]\n"
          "\n"
          "Configure xPL devices through the xPL configuration protocol.\n"
          "\n"
          "commands:\n"
          "  discover                    list the devices heard announcing themselves;\n"
          "                              \"(awaiting configuration)\" marks devices that\n"
          "                              have not been configured yet\n"
          "  list DEVICE                 print the configuration items DEVICE declares\n"
          "                              (config.list), one \"keyword=item\" per line\n"
          "  current DEVICE              print the current configuration of DEVICE\n"
          "                              (config.current), one \"name=value\" per line\n"
          "  set DEVICE NAME=VALUE...    send DEVICE a new configuration (config.response)\n"
          "                              with the pairs in the order given, then print its\n"
          "                              current configuration; repeat a name for each\n"
          "                              value of a multi-valued item.  Items not named\n"
          "                              lose their values, so give the whole configuration.\n"
          "                              A new \"newconf\" renames the device: it is then\n"
          "                              asked under its new name.\n"
          "\n"
          "DEVICE is vendor-device.instance, e.g. kelvora-zud.hall.\n"
          "\n"
          "options:\n"
          "  --seconds N     how long discover listens (default 5)\n"
          "  --timeout S     how long to wait for an answer (default 5)\n"
          "  -interface NAME the network interface to use (default: the first one up\n"
          "                  that is not the loopback)\n"
          "  -xpldebug       print the xPL library's debug log on standard error\n"
          "  --help          print this help and exit\n"
          "  --version       print the version and exit\n"
          "\n"
          "Exit status: 0 on success, 1 when the network cannot be joined or no answer\n"
          "came in time, 2 on a usage error.\n");
}

using DeviceName = toolkit::Identity;

bool sameText(const std::string &a, const std::string &b) {
  return xPL_strcmpIgnoreCase(a.c_str(), b.c_str()) == 0;
}

bool parseDeviceName(const std::string &text, DeviceName *name) {
  return toolkit::splitIdentity(text, name) && name->hasInstance && !name->vendor.empty() &&
         !name->device.empty() && !name->instance.empty();
}

bool parseSeconds(const char *text, double *seconds) {
  char *end = nullptr;
  double value = strtod(text, &end);
  if (end == text || *end != '\0' || !(value > 0) || value > maxSeconds) return false;
  *seconds = value;
  return true;
}

struct Command {
  std::string verb;
  DeviceName device;
  std::vector<std::pair<std::string, std::string>> pairs;
  double discoverSeconds = defaultDiscoverSeconds;
  double timeoutSeconds = defaultTimeoutSeconds;
};

Command parseCommandLine(int argc, char **argv) {
  Command command;
  std::vector<std::string> words;
  bool optionsEnded = false;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (optionsEnded) {
      words.push_back(arg);
      continue;
    }
    toolkit::exitOnHelpOrVersion(program, arg, printHelp);
    if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--seconds" || arg == "--timeout") {
      double *target = arg == "--seconds" ? &command.discoverSeconds : &command.timeoutSeconds;
      const char *value = toolkit::nextArgument(argc, argv, &i);
      if (value == nullptr || !parseSeconds(value, target)) {
        toolkit::usageError(program, arg + " needs a number of seconds above 0 and at most 3600");
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      toolkit::usageError(program, "unknown option '" + arg + "'");
    } else {
      words.push_back(arg);
    }
  }

  if (words.empty()) toolkit::usageError(program, "no command given");
  command.verb = words[0];
  if (command.verb == "discover") {
    if (words.size() != 1) toolkit::usageError(program, "discover takes no arguments");
    return command;
  }
  if (command.verb != "list" && command.verb != "current" && command.verb != "set") {
    toolkit::usageError(program, "unknown command '" + command.verb + "'");
  }
  if (words.size() < 2)
    toolkit::usageError(program, command.verb + " needs a DEVICE (vendor-device.instance)");
  if (!parseDeviceName(words[1], &command.device)) {
    toolkit::usageError(
        program, "'" + words[1] + "' is not a device name of the form vendor-device.instance");
  }
  if (command.verb != "set") {
    if (words.size() != 2) toolkit::usageError(program, command.verb + " takes only a DEVICE");
    return command;
  }
  if (words.size() < 3) toolkit::usageError(program, "set needs at least one NAME=VALUE pair");
  for (size_t i = 2; i < words.size(); i++) {
    size_t equals = words[i].find('=');
    if (equals == std::string::npos || equals == 0) {
      toolkit::usageError(program, "'" + words[i] + "' is not a NAME=VALUE pair");
    }
    if (words[i].find('\n') != std::string::npos) {
      toolkit::usageError(program, "'" + words[i] + "' holds a line feed, which xPL cannot carry");
    }
    std::string name = words[i].substr(0, equals), value = words[i].substr(equals + 1);
    if (sameText(name, "newconf") && value.empty()) {
      toolkit::usageError(program,
                          "newconf needs an instance ID: a device without one cannot be addressed");
    }
    command.pairs.emplace_back(name, value);
  }
  return command;
}

// ---------------------------------------------------------------------------
// What was heard on the network

struct Heard {
  std::string source;
  std::string schemaClass;
  std::string schemaType;
  xPL_MessageType type;
  std::vector<std::pair<std::string, std::string>> body;
};

struct Session {
  xPL_ServicePtr service = nullptr;
  std::vector<Heard> heard;
};

Session session;

std::string ownName() {
  return std::string(xPL_getServiceVendor(session.service)) + "-" +
         xPL_getServiceDeviceID(session.service) + "." +
         xPL_getServiceInstanceID(session.service);
}

// Every inbound message is kept (copied: the library reuses its records).
void hearMessage(xPL_MessagePtr message, xPL_ObjectPtr) {
  Heard heard;
  heard.source = toolkit::sourceText(message);
  if (sameText(heard.source, ownName())) return;
  heard.schemaClass = toolkit::textOr(xPL_getSchemaClass(message));
  heard.schemaType = toolkit::textOr(xPL_getSchemaType(message));
  heard.type = xPL_getMessageType(message);
  xPL_NameValueListPtr body = xPL_getMessageBody(message);
  for (int i = 0; i < xPL_getNamedValueCount(body); i++) {
    xPL_NameValuePairPtr pair = xPL_getNamedValuePairAt(body, i);
    std::string value = pair->isBinary ? "(binary)" : toolkit::textOr(pair->itemValue);
    heard.body.emplace_back(toolkit::textOr(pair->itemName), value);
  }
  session.heard.push_back(std::move(heard));
}

// Runs the library's event loop until `done` holds or `seconds` pass.
template <typename Done>
bool runUntil(double seconds, Done done) {
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(seconds));
  while (!done()) {
    auto now = Clock::now();
    if (now >= deadline) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    struct pollfd listener = {xPL_getFD(), POLLIN, 0};
    poll(&listener, 1, static_cast<int>(std::min<long long>(left + 1, 250)));
    xPL_processMessages(0);
  }
  return true;
}

bool joinNetwork() {
  if (!xPL_initialize(xPL_getParsedConnectionType())) {
    fprintf(stderr,
            "xpl-config: cannot join the xPL network (is there a usable interface? "
            "choose one with -interface NAME)\n");
    return false;
  }
  session.service = xPL_createService(toolVendor, toolDevice, NULL);
  xPL_setServiceVersion(session.service, ZUD_VERSION);
  xPL_addMessageListener(hearMessage, NULL);
  xPL_setServiceEnabled(session.service, TRUE);
  // The hub relays to us once it has our heartbeat; its echo tells us so.
  runUntil(hubWaitSeconds, [] { return xPL_isHubConfirmed() != FALSE; });
  return true;
}

void leaveNetwork() {
  if (session.service != nullptr) {
    xPL_setServiceEnabled(session.service, FALSE);
    xPL_releaseService(session.service);
    session.service = nullptr;
  }
  xPL_shutdown();
}

const char *noHubHint() {
  return xPL_isHubConfirmed() ? "" : " (no xPL hub answered: is one running on this host?)";
}

// ---------------------------------------------------------------------------
// Commands

int discover(const Command &command) {
  xPL_MessagePtr request = xPL_createBroadcastMessage(session.service, xPL_MESSAGE_COMMAND);
  xPL_setSchema(request, "hbeat", "request");
  xPL_addMessageNamedValue(request, "command", "request");
  xPL_sendMessage(request);
  xPL_releaseMessage(request);

  runUntil(command.discoverSeconds, [] { return false; });

  // Devices in the order first heard; the latest heartbeat decides the mode.
  std::vector<std::pair<std::string, bool>> devices;
  for (const Heard &heard : session.heard) {
    bool isConfig = sameText(heard.schemaClass, "config");
    if (!isConfig && !sameText(heard.schemaClass, "hbeat")) continue;
    bool leaving = sameText(heard.schemaType, "end");
    if (!leaving && !sameText(heard.schemaType, "app")) continue;
    auto known = std::find_if(devices.begin(), devices.end(),
                              [&](const auto &device) { return sameText(device.first, heard.source); });
    if (leaving) {
      if (known != devices.end()) devices.erase(known);
    } else if (known == devices.end()) {
      devices.emplace_back(heard.source, isConfig);
    } else {
      known->second = isConfig;
    }
  }
  for (const auto &device : devices) {
    printf("%s%s\n", device.first.c_str(), device.second ? " (awaiting configuration)" : "");
  }
  if (devices.empty()) fprintf(stderr, "xpl-config: no devices heard%s\n", noHubHint());
  return toolkit::exitOk;
}

void sendToDevice(const DeviceName &device, const char *schemaType,
                  const std::vector<std::pair<std::string, std::string>> &pairs) {
  xPL_MessagePtr message = xPL_createTargetedMessage(
      session.service, xPL_MESSAGE_COMMAND, device.vendor.c_str(), device.device.c_str(),
      device.instance.c_str());
  xPL_setSchema(message, "config", schemaType);
  for (const auto &pair : pairs) {
    xPL_addMessageNamedValue(message, pair.first.c_str(), pair.second.c_str());
  }
  if (!xPL_sendMessage(message)) {
    fprintf(stderr, "xpl-config: the config.%s message to %s could not be sent\n", schemaType,
            device.text().c_str());
  }
  xPL_releaseMessage(message);
}

// Asks the device for a report (list or current) and prints the answer.
int report(const DeviceName &device, const char *schemaType, double timeoutSeconds) {
  size_t searched = 0;
  auto answered = [&] {
    for (; searched < session.heard.size(); searched++) {
      const Heard &heard = session.heard[searched];
      if (heard.type == xPL_MESSAGE_STATUS && sameText(heard.source, device.text()) &&
          sameText(heard.schemaClass, "config") && sameText(heard.schemaType, schemaType)) {
        return true;
      }
    }
    return false;
  };

  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(timeoutSeconds));
  bool found = false;
  while (!found && Clock::now() < deadline) {
    sendToDevice(device, schemaType, {{"command", "request"}});
    double left = std::chrono::duration<double>(deadline - Clock::now()).count();
    found = runUntil(std::min(left, requestRepeatSeconds), answered);
  }
  if (!found) {
    fprintf(stderr, "xpl-config: no config.%s answer from %s within %g s%s\n", schemaType,
            device.text().c_str(), timeoutSeconds, noHubHint());
    return toolkit::exitFailure;
  }
  for (const auto &pair : session.heard[searched].body) printf("%s=%s\n", pair.first.c_str(), pair.second.c_str());
  return toolkit::exitOk;
}

int setConfiguration(const Command &command) {
  sendToDevice(command.device, "response", command.pairs);
  // A new instance ID renames the device as it installs the configuration.
  DeviceName renamed = command.device;
  for (const auto &pair : command.pairs) {
    if (sameText(pair.first, "newconf") && !pair.second.empty()) renamed.instance = pair.second;
  }
  if (renamed.instance != command.device.instance) {
    fprintf(stderr, "xpl-config: %s is now %s\n", command.device.text().c_str(),
            renamed.text().c_str());
  }
  return report(renamed, "current", command.timeoutSeconds);
}

}  // namespace

int main(int argc, char **argv) {
  xPL_parseCommonArgs(&argc, argv, FALSE);
  Command command = parseCommandLine(argc, argv);

  if (!joinNetwork()) return toolkit::exitFailure;
  int status;
  if (command.verb == "discover") {
    status = discover(command);
  } else if (command.verb == "set") {
    status = setConfiguration(command);
  } else {
    status = report(command.device, command.verb.c_str(), command.timeoutSeconds);
  }
  fflush(stdout);
  leaveNetwork();
  return status;
}
