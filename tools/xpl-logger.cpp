// xpl-logger -- prints the xPL traffic that reaches this host.
//
// The logger joins the network as a device of its own (kelvora-logger), so
// that the hub relays the network's traffic to it, and prints every message
// it receives: readably, one header line and one indented line per body
// value; with --raw exactly as the datagram arrived; or with --json as one
// JSON object per line, for scripts.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "messagejson.h"
#include "toolkit.h"
#include "xPL.h"

namespace {

constexpr char program[] = "xpl-logger";

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
  bool json = false;
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
      "usage: xpl-logger [-interface NAME] [-xpldebug] [--raw | --json] [--count N]\n"
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
      "  --json            print each message as one JSON object per line: type, hop,\n"
      "                    source, target, schema, body as [name, value] pairs\n"
      "  --schema C[.T]    only messages of schema class C (and type T); may repeat\n"
      "  --source V-D[.I]  only messages from that sender; may repeat\n"
      "  --count N         exit after printing N messages\n"
      "  --help            print this help and exit\n"
      "  --version         print the version and exit\n"
      "\n"
      "SIGINT or SIGTERM ends it (the logger says goodbye to the network first).\n");
}

SchemaFilter parseSchemaFilter(const std::string &text) {
  toolkit::Schema schema = toolkit::splitSchema(text);
  if (!toolkit::isVisibleWord(schema.schemaClass) ||
      (schema.hasType && !toolkit::isVisibleWord(schema.schemaType)))
    toolkit::usageError(program, "bad --schema '" + text + "'");
  return SchemaFilter{schema.schemaClass, schema.schemaType};
}

SourceFilter parseSourceFilter(const std::string &text) {
  toolkit::Identity source;
  if (!toolkit::splitIdentity(text, &source) || !toolkit::isVisibleWord(source.vendor) ||
      !toolkit::isVisibleWord(source.device) ||
      (source.hasInstance && !toolkit::isVisibleWord(source.instance)))
    toolkit::usageError(program, "bad --source '" + text + "' (want VENDOR-DEVICE[.INSTANCE])");
  return SourceFilter{source.vendor, source.device, source.instance};
}

long parseCount(const char *text) {
  const std::optional<long> value =
      toolkit::wholenumber(text, 1L, std::numeric_limits<long>::max());
  if (!value) toolkit::usageError(program, "--count needs a positive number");
  return *value;
}

Options parseOptions(int argc, char **argv) {
  Options options;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    toolkit::exitOnHelpOrVersion(program, arg, printUsage);
    if (arg == "--raw") {
      options.raw = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--count") {
      options.count = parseCount(toolkit::optionValue(program, argc, argv, &i));
    } else if (arg == "--schema") {
      options.schemas.push_back(parseSchemaFilter(toolkit::optionValue(program, argc, argv, &i)));
    } else if (arg == "--source") {
      options.sources.push_back(parseSourceFilter(toolkit::optionValue(program, argc, argv, &i)));
    } else {
      toolkit::usageError(program, "unexpected argument '" + arg + "'");
    }
  }
  if (options.raw && options.json)
    toolkit::usageError(program, "--raw and --json exclude each other");
  return options;
}

bool same(const char *text, const std::string &wanted) {
  return toolkit::equalsIgnoringCase(text, wanted.c_str());
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

// One body pair: name=value for text (nothing after "=" when absent),
// name!HEX for binary values, as they travel.
void printPair(xPL_NameValuePairPtr pair) {
  std::printf("    %s%c%s\n", toolkit::textOr(pair->itemName).c_str(), pair->isBinary ? '!' : '=',
              toolkit::pairValueText(pair).c_str());
}

void printReadable(xPL_MessagePtr message) {
  std::printf("%s %s %s -> %s %s\n", toolkit::timestamp().c_str(),
              toolkit::typeName(xPL_getMessageType(message)), toolkit::sourceText(message).c_str(),
              toolkit::targetText(message).c_str(), toolkit::schemaText(message).c_str());
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
  if (logger.options.json) {
    std::printf("%s\n", toolkit::messageJson(message).c_str());
  } else {
    printReadable(message);
  }
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
  toolkit::checkInterfaceArgument(program, argc, argv);
  xPL_parseCommonArgs(&argc, argv, FALSE);
  logger.options = parseOptions(argc, argv);

  StopPipe stopPipe;
  if (!stopPipe.ok() || !installSignals()) {
    std::fprintf(stderr, "xpl-logger: cannot set up signal handling: %s\n", std::strerror(errno));
    return toolkit::exitFailure;
  }
  logger.stopWriteFd = stopPipe.writeFd();

  if (!xPL_initialize(xPL_getParsedConnectionType())) {
    std::fprintf(stderr, "xpl-logger: cannot start the xPL library (interface '%s')\n",
                 xPL_getBroadcastInterface());
    return toolkit::exitFailure;
  }
  xPL_ServicePtr service = xPL_createService("kelvora", "logger", nullptr);
  if (service == nullptr) {
    std::fprintf(stderr, "xpl-logger: cannot create the logger's service\n");
    xPL_shutdown();
    return toolkit::exitFailure;
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
    status = toolkit::exitFailure;
  }
  xPL_releaseService(service);
  return status;
}
