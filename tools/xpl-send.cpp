// xpl-send -- sends one xPL message from the command line.
//
//   xpl-send -interface lo trig '*' weather.alert event="Tornado Warning"
//
// The message leaves from a service of its own (vendor kelvora, device send)
// as one broadcast datagram; no hub is needed to send.
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "xPL.h"

namespace {

constexpr int exitUsage = 2;
constexpr int exitFailure = 1;
constexpr char groupPrefix[] = "XPL-GROUP.";
// The longest message text the library sends.
constexpr int maxMessageText = 1499;

struct Target {
  enum Kind { Broadcast, Group, Device } kind = Broadcast;
  std::string group;  // bare group name
  std::string vendor, device, instance;
};

struct Request {
  xPL_MessageType type = xPL_MESSAGE_ANY;
  Target target;
  std::string schemaClass, schemaType;
  std::vector<std::pair<std::string, std::string>> pairs;
  std::string instance;  // of the sending service; empty: a fresh identifier
};

void printUsage(FILE *to) {
  std::fprintf(to,
               "usage: xpl-send [-interface NAME] [-xpldebug] [--instance ID]\n"
               "                TYPE TARGET SCHEMA [NAME=VALUE...]\n"
               "\n"
               "Sends one xPL message as a broadcast datagram from the service\n"
               "kelvora-send.ID.\n"
               "\n"
               "  TYPE          cmnd, stat or trig (or xpl-cmnd, xpl-stat, xpl-trig)\n"
               "  TARGET        '*' for everyone, XPL-GROUP.NAME for a group, or\n"
               "                VENDOR-DEVICE.INSTANCE for one device\n"
               "  SCHEMA        CLASS.TYPE, for example weather.alert\n"
               "  NAME=VALUE    body values, in order; a name may repeat\n"
               "\n"
               "  -interface NAME  network interface to send on (default: the first\n"
               "                   non-loopback interface that is up)\n"
               "  -xpldebug        log the library's debug lines on standard error\n"
               "  --instance ID    instance ID of the sender (default: generated)\n"
               "  --help           print this help and exit\n"
               "  --version        print the version and exit\n"
               "\n"
               "Exit status: 0 sent, 1 the library could not start or send, 2 bad usage.\n");
}

[[noreturn]] void usageError(const std::string &what) {
  std::fprintf(stderr, "xpl-send: %s\n", what.c_str());
  std::fprintf(stderr, "Try 'xpl-send --help' for more information.\n");
  std::exit(exitUsage);
}

// Characters that would break the line structure of the message text.
bool hasControlCharacter(const std::string &text) {
  for (unsigned char c : text) {
    if (c < 32 || c == 127) return true;
  }
  return false;
}

// Identifier parts: not empty, no blanks, control characters or the
// characters that delimit identities and blocks.
bool isValidIdentifierPart(const std::string &text) {
  if (text.empty()) return false;
  for (unsigned char c : text) {
    if (c <= 32 || c >= 127 || c == '{' || c == '}' || c == '=' || c == '!') return false;
  }
  return true;
}

xPL_MessageType parseType(const std::string &text) {
  std::string bare = text;
  if (strncasecmp(bare.c_str(), "xpl-", 4) == 0) bare = bare.substr(4);
  if (strcasecmp(bare.c_str(), "cmnd") == 0) return xPL_MESSAGE_COMMAND;
  if (strcasecmp(bare.c_str(), "stat") == 0) return xPL_MESSAGE_STATUS;
  if (strcasecmp(bare.c_str(), "trig") == 0) return xPL_MESSAGE_TRIGGER;
  usageError("unknown message type '" + text + "' (want cmnd, stat or trig)");
}

// Splits VENDOR-DEVICE.INSTANCE: the vendor runs to the first "-", the device
// to the next ".", the instance is the rest.
bool splitIdentity(const std::string &text, std::string *vendor, std::string *device,
                   std::string *instance) {
  size_t dash = text.find('-');
  if (dash == std::string::npos) return false;
  size_t dot = text.find('.', dash + 1);
  if (dot == std::string::npos) return false;
  *vendor = text.substr(0, dash);
  *device = text.substr(dash + 1, dot - dash - 1);
  *instance = text.substr(dot + 1);
  return isValidIdentifierPart(*vendor) && isValidIdentifierPart(*device) &&
         isValidIdentifierPart(*instance);
}

Target parseTarget(const std::string &text) {
  Target target;
  const size_t prefixLength = sizeof groupPrefix - 1;
  if (text == "*") return target;
  if (text.size() >= prefixLength && strncasecmp(text.c_str(), groupPrefix, prefixLength) == 0) {
    target.kind = Target::Group;
    target.group = text.substr(prefixLength);
    if (!isValidIdentifierPart(target.group)) usageError("bad group target '" + text + "'");
    return target;
  }
  target.kind = Target::Device;
  if (!splitIdentity(text, &target.vendor, &target.device, &target.instance))
    usageError("bad target '" + text + "' (want '*', XPL-GROUP.NAME or VENDOR-DEVICE.INSTANCE)");
  return target;
}

void parseSchema(const std::string &text, Request *request) {
  size_t dot = text.find('.');
  if (dot == std::string::npos) usageError("bad schema '" + text + "' (want CLASS.TYPE)");
  request->schemaClass = text.substr(0, dot);
  request->schemaType = text.substr(dot + 1);
  if (!isValidIdentifierPart(request->schemaClass) || !isValidIdentifierPart(request->schemaType))
    usageError("bad schema '" + text + "' (want CLASS.TYPE)");
}

std::pair<std::string, std::string> parsePair(const std::string &text) {
  size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0)
    usageError("bad body value '" + text + "' (want NAME=VALUE)");
  std::string name = text.substr(0, equals);
  std::string value = text.substr(equals + 1);
  if (!isValidIdentifierPart(name)) usageError("bad name in '" + text + "'");
  if (hasControlCharacter(value))
    usageError("the value of '" + name + "' holds a line break or control character");
  return {name, value};
}

// Reads the arguments left after the library took its own options.
Request parseArguments(int argc, char **argv) {
  Request request;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      printUsage(stdout);
      std::exit(0);
    } else if (arg == "--version") {
      std::printf("xpl-send %s\n", ZUD_VERSION);
      std::exit(0);
    } else if (arg == "--instance") {
      if (i + 1 >= argc || !isValidIdentifierPart(argv[i + 1]))
        usageError("--instance needs an instance ID");
      request.instance = argv[++i];
    } else if (arg.size() > 1 && arg[0] == '-' && positional.size() < 3) {
      usageError("unknown option '" + arg + "'");
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() < 3) usageError("need TYPE, TARGET and SCHEMA");
  request.type = parseType(positional[0]);
  request.target = parseTarget(positional[1]);
  parseSchema(positional[2], &request);
  for (size_t i = 3; i < positional.size(); i++) request.pairs.push_back(parsePair(positional[i]));
  return request;
}

// "-interface" must be followed by a name: the library would otherwise take
// whatever comes next, or nothing.
void checkCommonArguments(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "-interface") == 0 && i + 1 >= argc)
      usageError("-interface needs an interface name");
  }
}

xPL_MessagePtr createMessage(xPL_ServicePtr service, const Request &request) {
  const Target &target = request.target;
  xPL_MessagePtr message = nullptr;
  switch (target.kind) {
    case Target::Broadcast:
      message = xPL_createBroadcastMessage(service, request.type);
      break;
    case Target::Group:
      message = xPL_createGroupTargetedMessage(service, request.type, target.group.c_str());
      break;
    case Target::Device:
      message = xPL_createTargetedMessage(service, request.type, target.vendor.c_str(),
                                          target.device.c_str(), target.instance.c_str());
      break;
  }
  if (message == nullptr) return nullptr;
  xPL_setSchema(message, request.schemaClass.c_str(), request.schemaType.c_str());
  for (const auto &pair : request.pairs)
    xPL_addMessageNamedValue(message, pair.first.c_str(), pair.second.c_str());
  return message;
}

// Builds and sends the message from a fresh service; false with a message on
// standard error when it cannot.
bool sendRequest(const Request &request) {
  xPL_ServicePtr service = xPL_createService(
      "kelvora", "send", request.instance.empty() ? nullptr : request.instance.c_str());
  if (service == nullptr) {
    std::fprintf(stderr, "xpl-send: cannot create the sending service\n");
    return false;
  }
  bool sent = false;
  xPL_MessagePtr message = createMessage(service, request);
  if (message == nullptr) {
    std::fprintf(stderr, "xpl-send: cannot create the message\n");
  } else if (xPL_formatMessage(message) == nullptr) {
    std::fprintf(stderr, "xpl-send: the message text would exceed %d characters\n", maxMessageText);
  } else if (!xPL_sendServiceMessage(service, message)) {
    std::fprintf(stderr, "xpl-send: sending failed (try -xpldebug for details)\n");
  } else {
    sent = true;
  }
  if (message != nullptr) xPL_releaseMessage(message);
  xPL_releaseService(service);
  return sent;
}

}  // namespace

int main(int argc, char **argv) {
  checkCommonArguments(argc, argv);
  xPL_parseCommonArgs(&argc, argv, FALSE);
  Request request = parseArguments(argc, argv);

  if (!xPL_initialize(xPL_getParsedConnectionType())) {
    std::fprintf(stderr, "xpl-send: cannot start the xPL library (interface '%s')\n",
                 xPL_getBroadcastInterface());
    return exitFailure;
  }
  bool sent = sendRequest(request);
  xPL_shutdown();
  return sent ? 0 : exitFailure;
}
