// xpl-logger -- prints the xPL traffic that reaches this host.
//
// The logger joins the network as a device of its own (kelvora-logger), so
// that the hub relays the network's traffic to it, and prints every message
// it receives: readably, one header line and one indented line per body
// value, or with --raw exactly as the datagram arrived.
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "xPL.h"

namespace {

constexpr int exitUsage = 2;
constexpr int exitFailure = 1;

struct SchemaFilter {
  std::string schemaClass;
  std::string schemaType;  // empty: any type
};

struct SourceFilter {
  std::string vendor, device;
  std::string instance;  // empty: any instance
};

struct Options {
  bool raw = false;
  long count = 0;  // 0: no limit
  std::vector<SchemaFilter> schemas;
  std::vector<SourceFilter> sources;
};

struct LoggerState {
  Options options;
  long printed = 0;
  int stopWriteFd = -1;
  bool stopping = false;
};

LoggerState logger;

// Both ends of the pipe through which signals and the message count ask the
// event loop to stop; closed with the object.
class StopPipe {
 public:
  StopPipe() {
    if (pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
    for (int fd : fds_) {
      if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
  }
  ~StopPipe() {
    for (int fd : fds_) {
      if (fd >= 0) close(fd);
    }
  }
  StopPipe(const StopPipe &) = delete;
  StopPipe &operator=(const StopPipe &) = delete;
  bool ok() const { return fds_[0] >= 0; }
  int readFd() const { return fds_[0]; }
  int writeFd() const { return fds_[1]; }

 private:
  int fds_[2] = {-1, -1};
};

void printUsage(FILE *to) {
  std::fprintf(
      to,
      "usage: xpl-logger [-interface NAME] [-xpldebug] [--raw] [--count N]\n"
      "                  [--schema CLASS[.TYPE]]... [--source VENDOR-DEVICE[.INSTANCE]]...\n"
      "\n"
      "Joins the xPL network as kelvora-logger (through the hub on this host) and\n"
      "prints every message it receives: time, type, source, target and schema,\n"
      "then each body value on its own indented line.\n"
      "\n"
      "  -interface NAME   network interface (default: the first non-loopback\n"
      "                    interface that is up)\n"
      "  -xpldebug         log the library's debug lines on standard error\n"
      "  --raw             print each datagram exactly as received\n"
      "  --schema C[.T]    only messages of schema class C (and type T); may repeat\n"
      "  --source V-D[.I]  only messages from that sender; may repeat\n"
      "  --count N         exit after printing N messages\n"
      "  --help            print this help and exit\n"
      "  --version         print the version and exit\n"
      "\n"
      "SIGINT or SIGTERM ends it (the logger says goodbye to the network first).\n");
}

[[noreturn]] void usageError(const std::string &what) {
  std::fprintf(stderr, "xpl-logger: %s\n", what.c_str());
  std::fprintf(stderr, "Try 'xpl-logger --help' for more information.\n");
  std::exit(exitUsage);
}

bool isValidPart(const std::string &text) {
  if (text.empty()) return false;
  for (unsigned char c : text) {
    if (c <= 32 || c >= 127) return false;
  }
  return true;
}

SchemaFilter parseSchemaFilter(const std::string &text) {
  SchemaFilter filter;
  size_t dot = text.find('.');
  filter.schemaClass = text.substr(0, dot);
  if (dot != std::string::npos) {
    filter.schemaType = text.substr(dot + 1);
    if (!isValidPart(filter.schemaType)) usageError("bad --schema '" + text + "'");
  }
  if (!isValidPart(filter.schemaClass)) usageError("bad --schema '" + text + "'");
  return filter;
}

SourceFilter parseSourceFilter(const std::string &text) {
  SourceFilter filter;
  size_t dash = text.find('-');
  if (dash == std::string::npos)
    usageError("bad --source '" + text + "' (want VENDOR-DEVICE[.INSTANCE])");
  size_t dot = text.find('.', dash + 1);
  filter.vendor = text.substr(0, dash);
  filter.device = text.substr(dash + 1, dot == std::string::npos ? dot : dot - dash - 1);
  bool ok = isValidPart(filter.vendor) && isValidPart(filter.device);
  if (dot != std::string::npos) {
    filter.instance = text.substr(dot + 1);
    ok = ok && isValidPart(filter.instance);
  }
  if (!ok) usageError("bad --source '" + text + "' (want VENDOR-DEVICE[.INSTANCE])");
  return filter;
}

long parseCount(const char *text) {
  char *end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || errno != 0 || value < 1)
    usageError("--count needs a positive number");
  return value;
}

// The value of an option that takes one; a usage error when it is missing.
const char *optionValue(int argc, char **argv, int *i) {
  if (*i + 1 >= argc) usageError(std::string(argv[*i]) + " needs a value");
  return argv[++*i];
}

Options parseOptions(int argc, char **argv) {
  Options options;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      printUsage(stdout);
      std::exit(0);
    } else if (arg == "--version") {
      std::printf("xpl-logger %s\n", ZUD_VERSION);
      std::exit(0);
    } else if (arg == "--raw") {
      options.raw = true;
    } else if (arg == "--count") {
      options.count = parseCount(optionValue(argc, argv, &i));
    } else if (arg == "--schema") {
      options.schemas.push_back(parseSchemaFilter(optionValue(argc, argv, &i)));
    } else if (arg == "--source") {
      options.sources.push_back(parseSourceFilter(optionValue(argc, argv, &i)));
    } else {
      usageError("unexpected argument '" + arg + "'");
    }
  }
  return options;
}

// "-interface" must be followed by a name: the library would otherwise take
// whatever comes next, or nothing.
void checkCommonArguments(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "-interface") == 0 && i + 1 >= argc)
      usageError("-interface needs an interface name");
  }
}

bool same(const char *text, const std::string &wanted) {
  return text != nullptr && strcasecmp(text, wanted.c_str()) == 0;
}

bool schemaMatches(xPL_MessagePtr message, const SchemaFilter &filter) {
  return same(xPL_getSchemaClass(message), filter.schemaClass) &&
         (filter.schemaType.empty() || same(xPL_getSchemaType(message), filter.schemaType));
}

bool sourceMatches(xPL_MessagePtr message, const SourceFilter &filter) {
  return same(xPL_getSourceVendor(message), filter.vendor) &&
         same(xPL_getSourceDeviceID(message), filter.device) &&
         (filter.instance.empty() || same(xPL_getSourceInstanceID(message), filter.instance));
}

// A message passes when it matches one of the schema filters (if any) and one
// of the source filters (if any).
bool passesFilters(xPL_MessagePtr message, const Options &options) {
  bool schemaOk = options.schemas.empty();
  for (const SchemaFilter &filter : options.schemas)
    schemaOk = schemaOk || schemaMatches(message, filter);
  bool sourceOk = options.sources.empty();
  for (const SourceFilter &filter : options.sources)
    sourceOk = sourceOk || sourceMatches(message, filter);
  return schemaOk && sourceOk;
}

bool hasFilters(const Options &options) {
  return !options.schemas.empty() || !options.sources.empty();
}

std::string timestamp() {
  char text[32];
  std::time_t now = std::time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

const char *typeKeyword(xPL_MessageType type) {
  switch (type) {
    case xPL_MESSAGE_COMMAND:
      return "xpl-cmnd";
    case xPL_MESSAGE_STATUS:
      return "xpl-stat";
    case xPL_MESSAGE_TRIGGER:
      return "xpl-trig";
    default:
      return "xpl-?";
  }
}

std::string text(const char *value) { return value != nullptr ? value : ""; }

std::string targetText(xPL_MessagePtr message) {
  if (xPL_isBroadcastMessage(message)) return "*";
  if (xPL_isGroupMessage(message)) return text(xPL_getTargetGroup(message));
  return text(xPL_getTargetVendor(message)) + "-" + text(xPL_getTargetDeviceID(message)) + "." +
         text(xPL_getTargetInstanceID(message));
}

// One body pair: name=value for text (nothing after "=" when absent),
// name!HEX for binary values, as they travel.
void printPair(xPL_NameValuePairPtr pair) {
  if (pair->isBinary) {
    std::printf("    %s!", text(pair->itemName).c_str());
    const auto *bytes = reinterpret_cast<const unsigned char *>(pair->itemValue);
    for (int i = 0; bytes != nullptr && i < pair->binaryLength; i++) std::printf("%02X", bytes[i]);
    std::printf("\n");
  } else {
    std::printf("    %s=%s\n", text(pair->itemName).c_str(), text(pair->itemValue).c_str());
  }
}

void printReadable(xPL_MessagePtr message) {
  std::printf("%s %s %s-%s.%s -> %s %s.%s\n", timestamp().c_str(),
              typeKeyword(xPL_getMessageType(message)), text(xPL_getSourceVendor(message)).c_str(),
              text(xPL_getSourceDeviceID(message)).c_str(),
              text(xPL_getSourceInstanceID(message)).c_str(), targetText(message).c_str(),
              text(xPL_getSchemaClass(message)).c_str(), text(xPL_getSchemaType(message)).c_str());
  xPL_NameValueListPtr body = xPL_getMessageBody(message);
  int count = xPL_getNamedValueCount(body);
  for (int i = 0; i < count; i++) printPair(xPL_getNamedValuePairAt(body, i));
}

void printRaw(const char *data, int length) {
  std::fwrite(data, 1, static_cast<size_t>(length), stdout);
  if (length == 0 || data[length - 1] != '\n') std::fputc('\n', stdout);
}

// Asks the event loop to stop; safe in a signal handler.
void requestStop() {
  if (logger.stopWriteFd >= 0) {
    char byte = 1;
    (void)!write(logger.stopWriteFd, &byte, 1);
  }
}

void onSignal(int) { requestStop(); }

// Counts a printed message and stops once the requested number is reached.
void notePrinted() {
  std::fflush(stdout);
  logger.printed++;
  if (logger.options.count > 0 && logger.printed >= logger.options.count) {
    logger.stopping = true;
    requestStop();
  }
}

void onMessage(xPL_MessagePtr message, xPL_ObjectPtr) {
  if (logger.stopping || !passesFilters(message, logger.options)) return;
  printReadable(message);
  notePrinted();
}

void onRawDatagram(String data, int length, xPL_ObjectPtr) {
  if (logger.stopping) return;
  if (hasFilters(logger.options)) {
    // Filters need the parsed message; parse a copy of our own so that the
    // library's receive buffer is left alone.
    std::string copy(data, static_cast<size_t>(length));
    xPL_MessagePtr message = parseMessage(copy.c_str());
    bool passes = message != nullptr && passesFilters(message, logger.options);
    if (message != nullptr) xPL_releaseMessage(message);
    if (!passes) return;
  }
  printRaw(data, length);
  notePrinted();
}

// The stop pipe became readable: leave the network, which ends the loop.
void onStopRequest(int fd, int, int) {
  char bytes[16];
  while (read(fd, bytes, sizeof bytes) > 0) {
  }
  xPL_removeIODevice(fd);
  xPL_shutdown();
}

bool installSignals() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  checkCommonArguments(argc, argv);
  xPL_parseCommonArgs(&argc, argv, FALSE);
  logger.options = parseOptions(argc, argv);

  StopPipe stopPipe;
  if (!stopPipe.ok() || !installSignals()) {
    std::fprintf(stderr, "xpl-logger: cannot set up signal handling: %s\n", std::strerror(errno));
    return exitFailure;
  }
  logger.stopWriteFd = stopPipe.writeFd();

  if (!xPL_initialize(xPL_getParsedConnectionType())) {
    std::fprintf(stderr, "xpl-logger: cannot start the xPL library (interface '%s')\n",
                 xPL_getBroadcastInterface());
    return exitFailure;
  }
  xPL_ServicePtr service = xPL_createService("kelvora", "logger", nullptr);
  if (service == nullptr) {
    std::fprintf(stderr, "xpl-logger: cannot create the logger's service\n");
    xPL_shutdown();
    return exitFailure;
  }
  xPL_setServiceVersion(service, ZUD_VERSION);
  if (logger.options.raw) {
    xPL_addRawListener(onRawDatagram, nullptr);
  } else {
    xPL_addMessageListener(onMessage, nullptr);
  }
  xPL_addIODevice(onStopRequest, 0, stopPipe.readFd(), TRUE, FALSE, FALSE);
  xPL_setServiceEnabled(service, TRUE);

  xPL_processMessages(-1);

  // The loop ends normally only through a shutdown; anything else is a fault.
  int status = 0;
  if (xPL_getFD() != -1) {
    std::fprintf(stderr, "xpl-logger: the event loop failed\n");
    xPL_shutdown();
    status = exitFailure;
  }
  xPL_releaseService(service);
  return status;
}
