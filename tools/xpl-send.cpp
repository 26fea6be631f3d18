// xpl-send -- sends one xPL message from the command line.
//
//   xpl-send -interface lo trig '*' weather.alert event="Tornado Warning"
//
// The message leaves from a service of its own (vendor kelvora, device send)
// as one broadcast datagram; no hub is needed to send.
#include <strings.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "toolkit.h"
#include "xPL.h"

namespace {

constexpr char program[] = "xpl-send";
constexpr char groupPrefix[] = "XPL-GROUP.";
// The longest message text the library sends.
constexpr int maxMessageText = 1499;

struct Target {
  enum Kind { Broadcast, Group, Device } kind = Broadcast;
  std::string group;  // bare group name
  toolkit::Identity device;
};

struct Request {
  xPL_MessageType type = xPL_MESSAGE_ANY;
  Target target;
  toolkit::Schema schema;
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

xPL_MessageType parseType(const std::string &text) {
  xPL_MessageType type = xPL_MESSAGE_ANY;
  if (!toolkit::parseTypeName(text, &type))
    toolkit::usageError(program, "unknown message type '" + text + "' (want cmnd, stat or trig)");
  return type;
}

// Reads VENDOR-DEVICE.INSTANCE with all three parts valid identifier parts.
bool parseDevice(const std::string &text, toolkit::Identity *device) {
  return toolkit::splitIdentity(text, device) && device->hasInstance &&
         toolkit::isValidIdentifierPart(device->vendor) &&
         toolkit::isValidIdentifierPart(device->device) &&
         toolkit::isValidIdentifierPart(device->instance);
}

Target parseTarget(const std::string &text) {
  Target target;
  const size_t prefixLength = sizeof groupPrefix - 1;
  if (text == "*") return target;
  if (text.size() >= prefixLength && strncasecmp(text.c_str(), groupPrefix, prefixLength) == 0) {
    target.kind = Target::Group;
    target.group = text.substr(prefixLength);
    if (!toolkit::isValidIdentifierPart(target.group))
      toolkit::usageError(program, "bad group target '" + text + "'");
    return target;
  }
  target.kind = Target::Device;
  if (!parseDevice(text, &target.device))
    toolkit::usageError(
        program, "bad target '" + text + "' (want '*', XPL-GROUP.NAME or VENDOR-DEVICE.INSTANCE)");
  return target;
}

toolkit::Schema parseSchema(const std::string &text) {
  toolkit::Schema schema = toolkit::splitSchema(text);
  if (!schema.hasType || !toolkit::isValidIdentifierPart(schema.schemaClass) ||
      !toolkit::isValidIdentifierPart(schema.schemaType))
    toolkit::usageError(program, "bad schema '" + text + "' (want CLASS.TYPE)");
  return schema;
}

std::pair<std::string, std::string> parsePair(const std::string &text) {
  size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0)
    toolkit::usageError(program, "bad body value '" + text + "' (want NAME=VALUE)");
  std::string name = text.substr(0, equals);
  std::string value = text.substr(equals + 1);
  if (!toolkit::isValidIdentifierPart(name))
    toolkit::usageError(program, "bad name in '" + text + "'");
  if (toolkit::hasControlCharacter(value))
    toolkit::usageError(program,
                        "the value of '" + name + "' holds a line break or control character");
  return {name, value};
}

// Reads the arguments left after the library took its own options.
Request parseArguments(int argc, char **argv) {
  Request request;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    toolkit::exitOnHelpOrVersion(program, arg, printUsage);
    if (arg == "--instance") {
      const char *value = toolkit::nextArgument(argc, argv, &i);
      if (value == nullptr || !toolkit::isValidIdentifierPart(value))
        toolkit::usageError(program, "--instance needs an instance ID");
      request.instance = value;
    } else if (arg.size() > 1 && arg[0] == '-' && positional.size() < 3) {
      toolkit::usageError(program, "unknown option '" + arg + "'");
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() < 3) toolkit::usageError(program, "need TYPE, TARGET and SCHEMA");
  request.type = parseType(positional[0]);
  request.target = parseTarget(positional[1]);
  request.schema = parseSchema(positional[2]);
  for (size_t i = 3; i < positional.size(); i++) request.pairs.push_back(parsePair(positional[i]));
  return request;
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
      message =
          xPL_createTargetedMessage(service, request.type, target.device.vendor.c_str(),
                                    target.device.device.c_str(), target.device.instance.c_str());
      break;
  }
  if (message == nullptr) return nullptr;
  xPL_setSchema(message, request.schema.schemaClass.c_str(), request.schema.schemaType.c_str());
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
  toolkit::checkInterfaceArgument(program, argc, argv);
  xPL_parseCommonArgs(&argc, argv, FALSE);
  Request request = parseArguments(argc, argv);

  if (!xPL_initialize(xPL_getParsedConnectionType())) {
    std::fprintf(stderr, "xpl-send: cannot start the xPL library (interface '%s')\n",
                 xPL_getBroadcastInterface());
    return toolkit::exitFailure;
  }
  bool sent = sendRequest(request);
  xPL_shutdown();
  return sent ? toolkit::exitOk : toolkit::exitFailure;
}
