// xpl-hub -- a stand-in xPL hub for one host.
//
// Devices on this host listen on ports of their own and rely on a hub to pass
// them the network's traffic.  The hub owns UDP port 3865, learns its local
// clients from their heartbeats ("port" and "remote-ip" of hbeat.app and
// config.app), forgets them when they say goodbye or fall silent, and relays
// every datagram it receives to every client it knows.  Its echo of a client's
// own heartbeat is how that client recognises that a hub is there.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "toolkit.h"
#include "xPL.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char program[] = "xpl-hub";
constexpr int xplPort = 3865;
// Large enough for any UDP datagram, plus the terminating NUL.
constexpr size_t datagramBufferSize = 65536;
constexpr int wantedReceiveBuffer = 1024 * 1024;
// An interval that a heartbeat does not state (or states badly) counts as the
// usual five minutes.
constexpr long defaultIntervalMinutes = 5;
constexpr long maxIntervalMinutes = 48 * 60;

volatile sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

struct Options {
  bool verbose = false;
  // Length of one "minute" of heartbeat interval, in milliseconds.  Only tests
  // change it (hidden option --minute-ms), to see expiry in seconds.
  long minuteMs = 60 * 1000;
};

// A descriptor that closes with the object.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A parsed message that goes back to the library's pool with the object.
class ParsedMessage {
 public:
  explicit ParsedMessage(const char *text) : message_(parseMessage(text)) {}
  ~ParsedMessage() {
    if (message_ != nullptr) xPL_releaseMessage(message_);
  }
  ParsedMessage(const ParsedMessage &) = delete;
  ParsedMessage &operator=(const ParsedMessage &) = delete;
  xPL_MessagePtr get() const { return message_; }

 private:
  xPL_MessagePtr message_;
};

struct Client {
  sockaddr_in address;
  std::string identity;
  long intervalMinutes;
  Clock::time_point lastHeard;
};

// What a heartbeat tells about its sender.
struct Heartbeat {
  bool goodbye = false;
  std::string identity;
  sockaddr_in address{};
  long intervalMinutes = defaultIntervalMinutes;
};

void printUsage(FILE *to) {
  std::fprintf(to,
               "usage: xpl-hub [--verbose]\n"
               "\n"
               "A stand-in xPL hub for this host: binds UDP port %d on all addresses,\n"
               "learns the local xPL devices from their heartbeats and relays every\n"
               "datagram it receives to each of them.  Devices joining and leaving are\n"
               "printed on standard output.  SIGINT or SIGTERM ends it.\n"
               "\n"
               "  --verbose   also print a summary of every datagram relayed\n"
               "  --help      print this help and exit\n"
               "  --version   print the version and exit\n",
               xplPort);
}

// Reads a whole decimal number within [low, high]: digits only, no sign or
// blanks, as heartbeats write them.
bool parseLong(const char *text, long low, long high, long *result) {
  if (text == nullptr) return false;
  const std::optional<long> value = toolkit::wholenumber(text, low, high);
  if (value) *result = *value;
  return value.has_value();
}

Options parseOptions(int argc, char **argv) {
  Options options;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    toolkit::exitOnHelpOrVersion(program, arg, printUsage);
    if (arg == "--verbose" || arg == "-v") {
      options.verbose = true;
    } else if (arg == "--minute-ms") {
      const char *value = toolkit::nextArgument(argc, argv, &i);
      if (value == nullptr || !parseLong(value, 1, 60 * 60 * 1000, &options.minuteMs))
        toolkit::usageError(program, "--minute-ms needs a number of milliseconds");
    } else {
      toolkit::usageError(program, "unexpected argument '" + arg + "'");
    }
  }
  return options;
}

std::string addressText(const sockaddr_in &address) {
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &address.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(address.sin_port));
}

bool sameAddress(const sockaddr_in &a, const sockaddr_in &b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// Whether `address` is one of this host's own IPv4 addresses.  Asked afresh
// each time, so that interfaces that come up later are recognised.
bool isLocalAddress(in_addr address) {
  struct ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool local = false;
  for (struct ifaddrs *entry = list; entry != nullptr && !local; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    const auto *inet = reinterpret_cast<const sockaddr_in *>(entry->ifa_addr);
    local = inet->sin_addr.s_addr == address.s_addr;
  }
  freeifaddrs(list);
  return local;
}

// Reads a heartbeat (hbeat.app/end or config.app/end status) that announces a
// local listener; false for anything else.
bool readHeartbeat(xPL_MessagePtr message, Heartbeat *heartbeat) {
  if (message == nullptr || xPL_getMessageType(message) != xPL_MESSAGE_STATUS) return false;
  const char *schemaClass = xPL_getSchemaClass(message);
  const char *schemaType = xPL_getSchemaType(message);
  if (!toolkit::equalsIgnoringCase(schemaClass, "hbeat") &&
      !toolkit::equalsIgnoringCase(schemaClass, "config"))
    return false;
  if (toolkit::equalsIgnoringCase(schemaType, "end")) {
    heartbeat->goodbye = true;
  } else if (!toolkit::equalsIgnoringCase(schemaType, "app")) {
    return false;
  }
  long port = 0;
  if (!parseLong(xPL_getMessageNamedValue(message, "port"), 1, 65535, &port)) return false;
  // A listener on the xPL port itself hears broadcasts without a hub; relaying
  // to it would also send the hub its own relays.
  if (port == xplPort) return false;
  const char *remoteIp = xPL_getMessageNamedValue(message, "remote-ip");
  in_addr ip{};
  if (remoteIp == nullptr || inet_pton(AF_INET, remoteIp, &ip) != 1) return false;
  if (!isLocalAddress(ip)) return false;

  heartbeat->address.sin_family = AF_INET;
  heartbeat->address.sin_addr = ip;
  heartbeat->address.sin_port = htons(static_cast<uint16_t>(port));
  long interval = 0;
  if (parseLong(xPL_getMessageNamedValue(message, "interval"), 0, maxIntervalMinutes, &interval))
    heartbeat->intervalMinutes = interval;
  heartbeat->identity = toolkit::sourceText(message, "?");
  return true;
}

class Hub {
 public:
  Hub(int socket, const Options &options) : socket_(socket), options_(options) {}

  // Learns from one datagram, then relays it to every known client.
  void handleDatagram(const char *data, size_t length, const sockaddr_in &from);
  // Forgets the clients that have been silent too long.
  void expireSilentClients();
  // Milliseconds until the next client may expire (capped at one second).
  int millisecondsToNextCheck() const;

 private:
  void learn(const Heartbeat &heartbeat);
  void forget(size_t index, const char *why);
  Clock::duration allowedSilence(const Client &client) const;
  size_t relay(const char *data, size_t length);
  void printRelay(const char *data, size_t length, const sockaddr_in &from, size_t sent);
  void printClient(const char *event, const Client &client, const char *detail);

  int socket_;
  Options options_;
  std::vector<Client> clients_;
};

void Hub::handleDatagram(const char *data, size_t length, const sockaddr_in &from) {
  Heartbeat heartbeat;
  bool isHeartbeat = false;
  {
    ParsedMessage message(data);
    isHeartbeat = readHeartbeat(message.get(), &heartbeat);
  }
  // A new client is learnt before the relay, so that its very first heartbeat
  // is echoed back to it; a leaving one is forgotten after it.
  if (isHeartbeat && !heartbeat.goodbye) learn(heartbeat);
  size_t sent = relay(data, length);
  if (options_.verbose) printRelay(data, length, from, sent);
  if (isHeartbeat && heartbeat.goodbye) {
    for (size_t i = 0; i < clients_.size(); i++) {
      if (sameAddress(clients_[i].address, heartbeat.address)) {
        forget(i, "goodbye");
        break;
      }
    }
  }
}

void Hub::learn(const Heartbeat &heartbeat) {
  for (Client &client : clients_) {
    if (sameAddress(client.address, heartbeat.address)) {
      client.identity = heartbeat.identity;
      client.intervalMinutes = heartbeat.intervalMinutes;
      client.lastHeard = Clock::now();
      return;
    }
  }
  clients_.push_back(
      Client{heartbeat.address, heartbeat.identity, heartbeat.intervalMinutes, Clock::now()});
  printClient("joined", clients_.back(),
              ("interval " + std::to_string(heartbeat.intervalMinutes) + " min").c_str());
}

void Hub::forget(size_t index, const char *why) {
  printClient("left", clients_[index], why);
  clients_.erase(clients_.begin() + static_cast<long>(index));
}

// A client may stay silent for twice its interval plus one minute.
Clock::duration Hub::allowedSilence(const Client &client) const {
  return std::chrono::milliseconds((2 * client.intervalMinutes + 1) * options_.minuteMs);
}

void Hub::expireSilentClients() {
  Clock::time_point now = Clock::now();
  for (size_t i = 0; i < clients_.size();) {
    if (now - clients_[i].lastHeard > allowedSilence(clients_[i])) {
      forget(i, "silent");
    } else {
      i++;
    }
  }
}

int Hub::millisecondsToNextCheck() const {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  long wait = 1000;
  Clock::time_point now = Clock::now();
  for (const Client &client : clients_) {
    long left =
        duration_cast<milliseconds>(client.lastHeard + allowedSilence(client) - now).count() + 1;
    if (left < wait) wait = left < 0 ? 0 : left;
  }
  return static_cast<int>(wait);
}

size_t Hub::relay(const char *data, size_t length) {
  size_t sent = 0;
  for (const Client &client : clients_) {
    ssize_t n = sendto(socket_, data, length, 0,
                       reinterpret_cast<const sockaddr *>(&client.address), sizeof client.address);
    if (n == static_cast<ssize_t>(length)) {
      sent++;
    } else if (options_.verbose) {
      std::printf("%s relay to %s failed: %s\n", toolkit::timestamp().c_str(),
                  addressText(client.address).c_str(), std::strerror(errno));
    }
  }
  return sent;
}

void Hub::printRelay(const char *data, size_t length, const sockaddr_in &from, size_t sent) {
  ParsedMessage message(data);
  std::string summary = "(not an xPL message)";
  if (message.get() != nullptr)
    summary =
        toolkit::sourceText(message.get(), "?") + " " + toolkit::schemaText(message.get(), "?");
  std::printf("%s relayed %zu bytes from %s to %zu client%s: %s\n", toolkit::timestamp().c_str(),
              length, addressText(from).c_str(), sent, sent == 1 ? "" : "s", summary.c_str());
}

void Hub::printClient(const char *event, const Client &client, const char *detail) {
  std::printf("%s client %s: %s %s (%s)\n", toolkit::timestamp().c_str(), event,
              addressText(client.address).c_str(), client.identity.c_str(), detail);
}

// The hub's socket: port 3865 on every address, shared, broadcasts allowed.
int openHubSocket() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    std::fprintf(stderr, "xpl-hub: cannot create a UDP socket: %s\n", std::strerror(errno));
    return -1;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  // A bigger buffer rides out bursts; the system may grant less.
  int size = wantedReceiveBuffer;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(xplPort);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    std::fprintf(stderr, "xpl-hub: cannot bind UDP port %d: %s\n", xplPort, std::strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

// Termination signals are blocked except while waiting in ppoll, so that a
// signal can never slip in between the check of the flag and the wait.
bool installSignals(sigset_t *waitMask) {
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0)
    return false;
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  return sigprocmask(SIG_BLOCK, &blocked, waitMask) == 0;
}

// Reads every waiting datagram and hands each to the hub.
void drainSocket(int fd, Hub &hub, std::vector<char> &buffer) {
  for (;;) {
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t n = recvfrom(fd, buffer.data(), buffer.size() - 1, MSG_DONTWAIT,
                         reinterpret_cast<sockaddr *>(&from), &fromLength);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        std::fprintf(stderr, "xpl-hub: receive failed: %s\n", std::strerror(errno));
      return;
    }
    buffer[static_cast<size_t>(n)] = '\0';
    hub.handleDatagram(buffer.data(), static_cast<size_t>(n), from);
  }
}

int run(const Options &options) {
  sigset_t waitMask;
  if (!installSignals(&waitMask)) {
    std::fprintf(stderr, "xpl-hub: cannot install signal handlers: %s\n", std::strerror(errno));
    return toolkit::exitFailure;
  }
  Fd socket(openHubSocket());
  if (socket.get() < 0) return toolkit::exitFailure;
  Hub hub(socket.get(), options);
  std::vector<char> buffer(datagramBufferSize);
  std::printf("%s xpl-hub listening on UDP port %d\n", toolkit::timestamp().c_str(), xplPort);

  while (!stopRequested) {
    int waitMs = hub.millisecondsToNextCheck();
    struct timespec timeout = {waitMs / 1000, (waitMs % 1000) * 1000000L};
    struct pollfd entry = {socket.get(), POLLIN, 0};
    int ready = ppoll(&entry, 1, &timeout, &waitMask);
    if (ready < 0 && errno != EINTR) {
      std::fprintf(stderr, "xpl-hub: poll failed: %s\n", std::strerror(errno));
      return toolkit::exitFailure;
    }
    if (ready > 0) drainSocket(socket.get(), hub, buffer);
    hub.expireSilentClients();
  }
  std::printf("%s xpl-hub stopped\n", toolkit::timestamp().c_str());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  Options options = parseOptions(argc, argv);
  return run(options);
}
