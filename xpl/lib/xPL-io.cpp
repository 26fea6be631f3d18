/*
 * xPL-io.cpp -- the transport (interface choice, the broadcast and listener
 * sockets, raw sending, identifiers, start-up and shutdown) and the event
 * loop (managed IO devices, timeout handlers, idle work).
 *
 * The event loop is the only loop of the process.  Its whole state lives in
 * one record, `eventLoop`.  The device table is the very array handed to
 * poll(), with the handler records in a parallel array of the same order.
 *
 * Besides the devices the loop keeps one-shot timers of millisecond
 * precision on the monotonic clock.  A slice is still at most 1000 ms of
 * waiting, but its poll is cut short at the next due timer, the timer fires,
 * and the rest of the slice is waited; so no timer waits for a slice to end
 * and the slice rules stay as callers know them.  The idle work (heartbeat
 * check, timeout handlers) runs after a quiet slice, and also after a pass
 * that handled devices once a second has gone by since it last ran, so that
 * steady traffic never starves it.
 *
 * Handlers may add and remove devices (and timeout handlers may add and
 * remove timeout handlers) while a pass over the table is running.  Additions
 * go beyond the count the pass took at its start.  Removals during a pass do
 * not move entries: the entry is marked removed (its descriptor becomes -1,
 * which poll() ignores) and the table is compacted once the outermost pass
 * ends.  So a removed handler is never called, and no handler is called
 * twice in one pass, whatever a handler removes.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "xPL_priv.h"
#include "xPL_table.h"

/* ------------------------------------------------------------------------
 * Transport state
 * ------------------------------------------------------------------------ */

int xPLFD = -1;

namespace {

int xPLBroadcastFD = -1;
xPL_ConnectType xPLconnectType = xcViaHub;
int xPLPort = XPL_PORT;
char xPLInterfaceName[64] = "";
struct in_addr xPLInterfaceAddr;
struct sockaddr_in xPLBroadcastAddr;
Bool xPL_IODeviceInstalled = FALSE;
/* The service message handler is registered once per run, however often
 * the library is started and stopped. */
Bool serviceHandlerRegistered = FALSE;
char uniqueIDPrefix[9] = "";
/* Why the last start-up failed, for the operator; empty after a success. */
char startupFailure[256] = "";

constexpr char base36Table[] = "0123456789abcdefghijklmnopqrstuvwxyz";
static_assert(sizeof(base36Table) == 36 + 1, "36 digits and a terminator");

/* Interface names must fit an interface request (15 characters on Linux). */
constexpr size_t maxInterfaceName = IFNAMSIZ - 1;
static_assert(maxInterfaceName < sizeof(xPLInterfaceName), "name buffer holds the longest name");

constexpr int initialReceiveBufferTry = 1024000;
constexpr int receiveBufferTryStep = 64000;

xPL_RawSender rawSender = NULL;

/* ------------------------------------------------------------------------
 * Event loop state
 * ------------------------------------------------------------------------ */

struct _pollUserInfo {
  xPL_IOHandler ioHandler;
  int userValue;
  bool removed; /* removed during a pass; dropped when the pass ends */
};

struct TimeoutHandler {
  int timeoutInterval;
  time_t lastTimedoutAt;
  xPL_TimeoutHandler timeoutHandler;
  xPL_ObjectPtr userValue;
  bool removed; /* removed during a check; dropped when the check ends */
};

struct OneShotTimer {
  long long dueAt; /* milliseconds on the monotonic clock */
  xPL_TimerHandler timerHandler;
  xPL_ObjectPtr userValue;
  unsigned long armedAs; /* arming order; see runDueTimers */
};

constexpr int deviceGrowth = 32;
constexpr int timeoutGrowth = 4;
constexpr int timerGrowth = 4;
constexpr int sliceMilliseconds = 1000;
constexpr time_t heartbeatCheckSeconds = 5;
constexpr long long idleWorkEveryMilliseconds = 1000;

struct EventLoop {
  struct pollfd *pollInfo; /* the very array handed to poll() */
  struct _pollUserInfo *pollUserInfo; /* parallel to pollInfo */
  int pollInfoCount; /* entries in use, those marked removed included */
  int pollInfoSize;  /* entries allocated */

  struct TimeoutHandler *timeoutList;
  int timeoutCount;
  int timeoutAllocCount;

  struct OneShotTimer *timerList;
  int timerCount;
  int timerAllocCount;
  unsigned long timersArmed;

  time_t heartbeatCheckLastDoneAt;
  time_t timeoutChecksLastDoneAt;
  long long idleWorkLastRanAt; /* monotonic milliseconds; -1 = never */
};

EventLoop eventLoop = {NULL, NULL, 0, 0, NULL, 0, 0, NULL, 0, 0, 0, -1, -1, -1};

/* An entry removed during a pass or check keeps its place, marked. */
struct RemovedFlag {
  template <typename Entry>
  static bool isMarked(const Entry &entry) {
    return entry.removed;
  }
  template <typename Entry>
  static void mark(Entry &entry) {
    entry.removed = true;
  }
};

/* The handler records, with the poll array beside them. */
xpl::internal::Table<_pollUserInfo, RemovedFlag, struct pollfd> devices() {
  return {eventLoop.pollUserInfo, eventLoop.pollInfoCount, eventLoop.pollInfoSize, deviceGrowth,
          eventLoop.pollInfo};
}

xpl::internal::Table<TimeoutHandler, RemovedFlag> timeouts() {
  return {eventLoop.timeoutList, eventLoop.timeoutCount, eventLoop.timeoutAllocCount,
          timeoutGrowth};
}

xpl::internal::Table<OneShotTimer> timers() {
  return {eventLoop.timerList, eventLoop.timerCount, eventLoop.timerAllocCount, timerGrowth};
}

/* ------------------------------------------------------------------------
 * Managed devices
 * ------------------------------------------------------------------------ */

/* Calls the handlers of the ready devices, newest first; FALSE when the
 * library was shut down by one of them. */
Bool dispatchReadyDevices(int readyCount) {
  int handled = 0;
  Bool stillRunning = TRUE;
  devices().walkNewestFirst([&](const _pollUserInfo &device, int i) {
    /* Look the entry up afresh: a handler may have grown the arrays. */
    short returned = eventLoop.pollInfo[i].revents;
    if (returned == 0) return true;
    eventLoop.pollInfo[i].revents = 0;
    device.ioHandler(eventLoop.pollInfo[i].fd, returned, device.userValue);
    if (xPLFD == -1) {
      stillRunning = FALSE;
      return false;
    }
    return ++handled < readyCount;
  });
  return stillRunning;
}

/* ------------------------------------------------------------------------
 * Timeout handlers and idle work
 * ------------------------------------------------------------------------ */

/* Calls every timeout handler whose interval has passed, newest first. */
void checkAllTimeoutHandlers() {
  time_t now = xPL_now();
  timeouts().walkNewestFirst([&](const TimeoutHandler &entry, int i) {
    time_t elapsed = now - entry.lastTimedoutAt;
    if (elapsed < 0) {
      /* The clock was set back: count the interval afresh from now rather
       * than wait for the clock to catch up with the old stamp. */
      eventLoop.timeoutList[i].lastTimedoutAt = now;
      return true;
    }
    if (elapsed < entry.timeoutInterval) return true;
    entry.timeoutHandler((int)elapsed, entry.userValue);
    /* The handler may have added entries and so moved the array. */
    eventLoop.timeoutList[i].lastTimedoutAt = now;
    return true;
  });
}

/* Idle work: the heartbeat check, and the timeout check once per second. */
void doTimeouts() {
  eventLoop.idleWorkLastRanAt = xPL_nowMilliseconds();
  time_t now = xPL_now();
  time_t sinceHeartbeatCheck = now - eventLoop.heartbeatCheckLastDoneAt;
  if (eventLoop.heartbeatCheckLastDoneAt == -1 || sinceHeartbeatCheck >= heartbeatCheckSeconds ||
      sinceHeartbeatCheck < 0 || !xPL_isHubConfirmed()) {
    xPL_sendTimelyHeartbeats();
    eventLoop.heartbeatCheckLastDoneAt = now;
  }
  if (eventLoop.timeoutChecksLastDoneAt == -1 || eventLoop.timeoutChecksLastDoneAt != now) {
    checkAllTimeoutHandlers();
    eventLoop.timeoutChecksLastDoneAt = now;
  }
}

/* After a pass that handled devices: whether a second has gone by since the
 * idle work last ran, so that traffic cannot hold it back.  A clock that
 * went back (only a replaced one can) makes it due rather than stall it. */
bool idleWorkIsDue() {
  if (eventLoop.idleWorkLastRanAt < 0) return true;
  long long since = xPL_nowMilliseconds() - eventLoop.idleWorkLastRanAt;
  return since < 0 || since >= idleWorkEveryMilliseconds;
}

/* ------------------------------------------------------------------------
 * One-shot timers
 * ------------------------------------------------------------------------ */

int findTimer(xPL_TimerHandler theHandler, xPL_ObjectPtr userValue) {
  return timers().find([&](const OneShotTimer &timer) {
    return timer.timerHandler == theHandler && timer.userValue == userValue;
  });
}

/* Milliseconds from now until the soonest timer is due (0 when one is
 * overdue), or -1 when no timer is pending. */
long long untilNextTimer(long long now) {
  long long soonest = -1;
  for (int i = 0; i < eventLoop.timerCount; i++) {
    long long wait = eventLoop.timerList[i].dueAt - now;
    if (wait < 0) wait = 0;
    if (soonest < 0 || wait < soonest) soonest = wait;
  }
  return soonest;
}

/* Fires every due timer, the soonest first; each is removed before its
 * handler runs, so the handler may arm or cancel timers freely.  A timer
 * armed during this run waits for the next one: a handler that re-arms
 * itself with no delay cannot hold the loop here. */
void runDueTimers() {
  const unsigned long armedBeforeRun = eventLoop.timersArmed;
  for (;;) {
    long long now = xPL_nowMilliseconds();
    int due = -1;
    for (int i = 0; i < eventLoop.timerCount; i++) {
      const struct OneShotTimer &timer = eventLoop.timerList[i];
      if (timer.armedAs >= armedBeforeRun || timer.dueAt > now) continue;
      if (due < 0 || timer.dueAt < eventLoop.timerList[due].dueAt) due = i;
    }
    if (due < 0) return;
    struct OneShotTimer fired = eventLoop.timerList[due];
    timers().removeAt(due);
    fired.timerHandler(fired.userValue);
  }
}

/* Waits up to `slice` ms for a device to become ready, firing timers as they
 * fall due: the poll is cut short at the next timer and the rest of the
 * slice is waited after it fired.  The count of ready devices; 0 when the
 * slice passed without one (or the library was stopped by a timer); -1,
 * with errno set, when poll failed. */
int pollSlice(int slice) {
  const long long sliceEnd = xPL_nowMilliseconds() + slice;
  for (;;) {
    long long now = xPL_nowMilliseconds();
    long long wait = sliceEnd > now ? sliceEnd - now : 0;
    long long toTimer = untilNextTimer(now);
    bool cutShort = toTimer >= 0 && toTimer < wait;
    if (cutShort) wait = toTimer;

    int readyCount = poll(eventLoop.pollInfo, eventLoop.pollInfoCount, (int)wait);
    if (readyCount < 0 && errno == EINTR) continue; /* the rest of the slice */
    if (readyCount != 0) return readyCount;
    runDueTimers();
    if (!cutShort || xPLFD == -1) return 0;
  }
}

/* ------------------------------------------------------------------------
 * Sockets
 * ------------------------------------------------------------------------ */

/* Records why start-up failed.  The log lines stay as they are (and the
 * listener's only show with debugging on); this one line is for the
 * application to pass on, whatever the debug setting. */
__attribute__((format(printf, 1, 2))) void noteStartupFailure(const char *theFormat, ...) {
  va_list arguments;
  va_start(arguments, theFormat);
  vsnprintf(startupFailure, sizeof(startupFailure), theFormat, arguments);
  va_end(arguments);
}

Bool markNonblocking(int theFD) {
  int flags = fcntl(theFD, F_GETFL);
  if (flags == -1) return FALSE;
  return fcntl(theFD, F_SETFL, flags | O_NONBLOCK) != -1 ? TRUE : FALSE;
}

Bool readReceiveBufferSize(int theFD, int *theSize) {
  socklen_t sizeLength = sizeof(*theSize);
  if (getsockopt(theFD, SOL_SOCKET, SO_RCVBUF, theSize, &sizeLength) == 0) return TRUE;
  xPL_Debug("Unable to read receive socket buffer size - %s (%d)", strerror(errno), errno);
  return FALSE;
}

/* Raises the listener's receive buffer as far as the system allows, so that a
 * burst of datagrams waits in the socket rather than being dropped. */
Bool maximizeReceiveBufferSize(int theFD) {
  int initialSize = 0;
  if (readReceiveBufferSize(theFD, &initialSize)) {
    xPL_Debug("Initial receive socket buffer size is %d bytes", initialSize);
  } else {
    initialSize = 0;
  }
  for (int trySize = initialReceiveBufferTry; trySize > initialSize && trySize > 0;
       trySize -= receiveBufferTryStep) {
    if (setsockopt(theFD, SOL_SOCKET, SO_RCVBUF, &trySize, sizeof(trySize)) == 0) {
      int actualSize = 0;
      if (!readReceiveBufferSize(theFD, &actualSize)) return FALSE;
      xPL_Debug("Actual receive socket buffer size is %d bytes", actualSize);
      return actualSize > initialSize ? TRUE : FALSE;
    }
    xPL_Debug("Not able to set receive buffer to %d bytes - retrying", trySize);
  }
  xPL_Debug("Unable to increase receive buffer size - dang!");
  return FALSE;
}

/* An interface request for the named interface, zeroed, family AF_INET. */
struct ifreq interfaceRequest(const char *theName) {
  struct ifreq request;
  memset(&request, 0, sizeof(request));
  memcpy(request.ifr_name, theName, strnlen(theName, IFNAMSIZ - 1));
  request.ifr_addr.sa_family = AF_INET;
  return request;
}

/* Chooses the first interface that is up and not the loopback. */
Bool findDefaultInterface(int sockfd) {
  char interfaceBuffer[1024];
  struct ifconf interfaceList;
  interfaceList.ifc_len = sizeof(interfaceBuffer);
  interfaceList.ifc_buf = interfaceBuffer;
  if (ioctl(sockfd, SIOCGIFCONF, &interfaceList) < 0) return FALSE;

  int recordCount = interfaceList.ifc_len / (int)sizeof(struct ifreq);
  for (int i = 0; i < recordCount; i++) {
    struct ifreq request = interfaceRequest(interfaceList.ifc_req[i].ifr_name);
    if (ioctl(sockfd, SIOCGIFFLAGS, &request) < 0) continue;
    short flags = request.ifr_flags;
    xPL_Debug("Checking if interface %s is valid w/flags %d", request.ifr_name, (int)flags);
    if ((flags & IFF_UP) && !(flags & IFF_LOOPBACK)) {
      memset(xPLInterfaceName, 0, sizeof(xPLInterfaceName));
      memcpy(xPLInterfaceName, request.ifr_name, strnlen(request.ifr_name, IFNAMSIZ - 1));
      xPL_Debug("Choose interface %s as default interface", xPLInterfaceName);
      return TRUE;
    }
  }
  return FALSE;
}

/* Opens the broadcast socket and aims it at the interface's broadcast address. */
Bool setupBroadcastAddr() {
  struct protoent *udpProtocol = getprotobyname("udp");
  if (udpProtocol == NULL) {
    xPL_Error("Unable to lookup UDP protocol info");
    noteStartupFailure("the UDP protocol is unknown to this system");
    return FALSE;
  }
  int sockfd = socket(AF_INET, SOCK_DGRAM, udpProtocol->p_proto);
  if (sockfd < 0) {
    int error = errno;
    xPL_Error("Unable to create broadcast socket %s (%d)", strerror(error), error);
    noteStartupFailure("cannot create the broadcast socket: %s", strerror(error));
    return FALSE;
  }
  int flag = 1;
  if (setsockopt(sockfd, SOL_SOCKET, SO_BROADCAST, &flag, sizeof(flag)) < 0) {
    int error = errno;
    xPL_Error("Unable to set SO_BROADCAST on socket %s (%d)", strerror(error), error);
    noteStartupFailure("cannot allow broadcasts on the broadcast socket: %s", strerror(error));
    close(sockfd);
    return FALSE;
  }
  if (xPLInterfaceName[0] == '\0' && !findDefaultInterface(sockfd)) {
    xPL_Error("Could not find a working, non-loopback network interface");
    noteStartupFailure("no network interface is up other than the loopback");
    close(sockfd);
    return FALSE;
  }

  struct ifreq request = interfaceRequest(xPLInterfaceName);
  if (ioctl(sockfd, SIOCGIFADDR, &request) < 0) {
    int error = errno;
    xPL_Error("Unable to get IP addr for interface %s", xPLInterfaceName);
    if (error == ENODEV) {
      noteStartupFailure("network interface %s not found", xPLInterfaceName);
    } else {
      noteStartupFailure("network interface %s has no usable IPv4 address: %s", xPLInterfaceName,
                         strerror(error));
    }
    close(sockfd);
    return FALSE;
  }
  xPLInterfaceAddr = ((struct sockaddr_in *)&request.ifr_addr)->sin_addr;
  xPL_Debug("Auto-assigning IP address of %s", inet_ntoa(xPLInterfaceAddr));

  request = interfaceRequest(xPLInterfaceName);
  if (ioctl(sockfd, SIOCGIFNETMASK, &request) < 0) {
    int error = errno;
    xPL_Error("Unable to extract the interface net mask");
    noteStartupFailure("cannot read the netmask of network interface %s: %s", xPLInterfaceName,
                       strerror(error));
    close(sockfd);
    return FALSE;
  }
  struct in_addr netmask = ((struct sockaddr_in *)&request.ifr_netmask)->sin_addr;

  memset(&xPLBroadcastAddr, 0, sizeof(xPLBroadcastAddr));
  xPLBroadcastAddr.sin_family = AF_INET;
  xPLBroadcastAddr.sin_addr.s_addr = xPLInterfaceAddr.s_addr | ~netmask.s_addr;
  xPLBroadcastAddr.sin_port = htons(XPL_PORT);

  xPLBroadcastFD = sockfd;
  markNonblocking(xPLBroadcastFD);
  xPL_Debug("Assigned xPL Broadcast address of %s, port %d", inet_ntoa(xPLBroadcastAddr.sin_addr),
            XPL_PORT);
  return TRUE;
}

/* A UDP socket with SO_BROADCAST (and SO_REUSEADDR when asked), or -1. */
int openListenerSocket(Bool reuseAddress) {
  struct protoent *udpProtocol = getprotobyname("udp");
  if (udpProtocol == NULL) {
    xPL_Debug("Unable to lookup UDP protocol info");
    noteStartupFailure("the UDP protocol is unknown to this system");
    return -1;
  }
  int sockfd = socket(AF_INET, SOCK_DGRAM, udpProtocol->p_proto);
  if (sockfd < 0) {
    int error = errno;
    xPL_Debug("Unable to create listener socket %s (%d)", strerror(error), error);
    noteStartupFailure("cannot create the listener socket: %s", strerror(error));
    return -1;
  }
  int flag = 1;
  if (reuseAddress && setsockopt(sockfd, SOL_SOCKET, SO_REUSEADDR, &flag, sizeof(flag)) < 0) {
    int error = errno;
    xPL_Debug("Unable to set SO_REUSEADDR on socket %s (%d)", strerror(error), error);
    noteStartupFailure("cannot allow address reuse on the listener socket: %s", strerror(error));
    close(sockfd);
    return -1;
  }
  if (setsockopt(sockfd, SOL_SOCKET, SO_BROADCAST, &flag, sizeof(flag)) < 0) {
    int error = errno;
    xPL_Debug("Unable to set SO_BROADCAST on socket %s (%d)", strerror(error), error);
    noteStartupFailure("cannot allow broadcasts on the listener socket: %s", strerror(error));
    close(sockfd);
    return -1;
  }
  return sockfd;
}

Bool bindListener(int sockfd, int thePort) {
  struct sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(thePort);
  if (bind(sockfd, (struct sockaddr *)&address, sizeof(address)) < 0) {
    int error = errno;
    xPL_Debug("Unable to bind listener socket to port %d, %s (%d)", xPLPort, strerror(error),
              error);
    if (thePort == 0) {
      noteStartupFailure("cannot bind the listener socket to a free port: %s", strerror(error));
    } else {
      noteStartupFailure("cannot bind the listener socket to port %d: %s", thePort,
                         strerror(error));
    }
    return FALSE;
  }
  return TRUE;
}

/* Owns port 3865 ourselves and hears the network's broadcasts directly.  The
 * port is set afresh: after a hub-mode run xPLPort still holds the port the
 * system picked then, and binding that would miss the network's traffic. */
Bool attemptStandaloneConnection() {
  int sockfd = openListenerSocket(TRUE);
  if (sockfd < 0) return FALSE;
  xPLPort = XPL_PORT;
  if (!bindListener(sockfd, XPL_PORT)) {
    close(sockfd);
    return FALSE;
  }
  xPLFD = sockfd;
  markNonblocking(xPLFD);
  maximizeReceiveBufferSize(xPLFD);
  xPL_Debug("xPL Started in standalone mode");
  return TRUE;
}

/* Listens on a port the system picks; the hub relays traffic to it. */
Bool attempHubConnection() {
  int sockfd = openListenerSocket(FALSE);
  if (sockfd < 0) return FALSE;
  if (!bindListener(sockfd, 0)) {
    close(sockfd);
    return FALSE;
  }
  struct sockaddr_in bound;
  socklen_t boundLength = sizeof(bound);
  if (getsockname(sockfd, (struct sockaddr *)&bound, &boundLength) < 0) {
    int error = errno;
    xPL_Debug("Unable to fetch socket info for bound listener, %s (%d)", strerror(error), error);
    noteStartupFailure("cannot read the listener socket's port: %s", strerror(error));
    close(sockfd);
    return FALSE;
  }
  xPLFD = sockfd;
  xPLPort = ntohs(bound.sin_port);
  markNonblocking(xPLFD);
  maximizeReceiveBufferSize(xPLFD);
  xPL_Debug("xPL Starting in Hub mode on port %d", xPLPort);
  return TRUE;
}

Bool makeConnection(xPL_ConnectType theConnectType) {
  if (theConnectType == xcStandAlone || theConnectType == xcAuto) {
    xPL_Debug("Attemping standalone xPL");
    if (attemptStandaloneConnection()) {
      xPLconnectType = xcStandAlone;
      return TRUE;
    }
    xPL_Debug("Standalong connect failed - %d %d", (int)theConnectType, 0);
    if (theConnectType == xcStandAlone) return FALSE;
  }
  xPL_Debug("Attempting hub based xPL");
  if (!attempHubConnection()) return FALSE;
  xPLconnectType = xcViaHub;
  return TRUE;
}

/* Writes theValue's base-36 digits right-aligned into eight digits at theText. */
void longToBase32(uint32_t theValue, char *theText) {
  memset(theText, '0', 8);
  theText[8] = '\0';
  for (int position = 7; position >= 0; position--) {
    theText[position] = base36Table[theValue % 36];
    if (theValue < 36) break;
    theValue /= 36;
  }
}

}  // namespace

/* ------------------------------------------------------------------------
 * Transport: public operations
 * ------------------------------------------------------------------------ */

Bool xPL_initialize(xPL_ConnectType theConnectType) {
  if (xPLFD != -1) {
    noteStartupFailure("the xPL library is already started");
    return FALSE;
  }
  if (!setupBroadcastAddr()) return FALSE;
  if (!makeConnection(theConnectType)) {
    /* Do not leave a half-started transport behind. */
    close(xPLBroadcastFD);
    xPLBroadcastFD = -1;
    return FALSE;
  }
  if (!xPL_IODeviceInstalled &&
      xPL_addIODevice(xPL_receiveMessage, -1, xPLFD, TRUE, FALSE, FALSE)) {
    xPL_IODeviceInstalled = TRUE;
  }
  if (!serviceHandlerRegistered) {
    xPL_addMessageListener(xPL_handleServiceMessage, NULL);
    serviceHandlerRegistered = TRUE;
  }
  /* A standalone attempt that failed on the way to hub mode is no failure. */
  startupFailure[0] = '\0';
  return TRUE;
}

Bool xPL_shutdown(void) {
  if (xPLFD == -1) return FALSE;
  xPL_disableAllServices();
  if (xPL_removeIODevice(xPLFD)) xPL_IODeviceInstalled = FALSE;
  close(xPLBroadcastFD);
  xPLBroadcastFD = -1;
  close(xPLFD);
  xPLFD = -1;
  return TRUE;
}

Bool xPL_sendRawMessage(const char *theData, int dataLen) {
  if (rawSender != NULL) return rawSender(theData, dataLen);
  ssize_t bytesSent = sendto(xPLBroadcastFD, theData, dataLen, 0,
                             (struct sockaddr *)&xPLBroadcastAddr, sizeof(xPLBroadcastAddr));
  if (bytesSent == dataLen) {
    xPL_Debug("Broadcasted %d bytes (of %d attempted)", (int)bytesSent, dataLen);
    return TRUE;
  }
  xPL_Debug("Unable to broadcast message, %s (%d)", strerror(errno), errno);
  return FALSE;
}

void xPL_setRawSender(xPL_RawSender theSender) { rawSender = theSender; }

String xPL_getStartupFailure(void) { return startupFailure; }

int xPL_getFD(void) { return xPLFD; }

xPL_ConnectType xPL_getConnectType(void) { return xPLconnectType; }

int xPL_getPort(void) { return xPLPort; }

String xPL_getBroadcastIPAddr(void) { return inet_ntoa(xPLBroadcastAddr.sin_addr); }

String xPL_getListenerIPAddr(void) { return inet_ntoa(xPLInterfaceAddr); }

String xPL_getBroadcastInterface(void) { return xPLInterfaceName; }

void xPL_setBroadcastInterface(const char *newInterfaceName) {
  if (xPLFD != -1 || newInterfaceName == NULL) return;
  if (strlen(newInterfaceName) > maxInterfaceName) {
    xPL_Error("Interface name %s is longer than %d characters -- ignored", newInterfaceName,
              (int)maxInterfaceName);
    return;
  }
  memset(xPLInterfaceName, 0, sizeof(xPLInterfaceName));
  memcpy(xPLInterfaceName, newInterfaceName, strlen(newInterfaceName));
}

String xPL_getFairlyUniqueIdent(void) {
  if (uniqueIDPrefix[0] == '\0') {
    uint32_t address = ntohl(xPLInterfaceAddr.s_addr);
    for (int octet = 0; octet < 4; octet++) {
      memcpy(&uniqueIDPrefix[octet * 2], xPL_intToHex((address >> (24 - 8 * octet)) & 0xFF), 2);
    }
    uniqueIDPrefix[8] = '\0';
  }
  struct timeval now;
  gettimeofday(&now, NULL);
  uint32_t milliseconds = (uint32_t)now.tv_sec * 1000u + (uint32_t)(now.tv_usec / 1000);

  char identifier[32];
  memcpy(identifier, uniqueIDPrefix, 8);
  longToBase32(milliseconds, &identifier[8]);
  identifier[16] = '\0';
  return xPL_StrDup(identifier);
}

/* ------------------------------------------------------------------------
 * Event loop: public operations
 * ------------------------------------------------------------------------ */

Bool xPL_addIODevice(xPL_IOHandler theIOHandler, int userValue, int theFD, Bool watchRead,
                     Bool watchWrite, Bool watchError) {
  if (!watchRead && !watchWrite && !watchError) return FALSE;
  auto table = devices();
  table.append() = {theIOHandler, userValue, false};
  struct pollfd *entry = &eventLoop.pollInfo[table.count() - 1];
  entry->fd = theFD;
  entry->events = (watchRead ? POLLIN : 0) | (watchWrite ? POLLOUT : 0) | (watchError ? POLLERR : 0);
  entry->revents = 0;
  xPL_Debug("Added managed IO device, now %d devices", table.liveCount());
  return TRUE;
}

Bool xPL_removeIODevice(int theFD) {
  auto table = devices();
  for (int i = 0; i < table.count(); i++) {
    if (table[i].removed || eventLoop.pollInfo[i].fd != theFD) continue;
    /* During a pass the entry stays, marked; poll() ignores it meanwhile. */
    eventLoop.pollInfo[i].fd = -1;
    eventLoop.pollInfo[i].revents = 0;
    table.removeAt(i);
    xPL_Debug("Removed managed IO device, now %d devices", table.liveCount());
    return TRUE;
  }
  xPL_Debug("Unable to remove managed IO device, fd=%d not found", theFD);
  return FALSE;
}

void xPL_addTimeoutHandler(xPL_TimeoutHandler timeoutHandler, int timeoutInSeconds,
                           xPL_ObjectPtr userValue) {
  timeouts().append() = {timeoutInSeconds, xPL_now(), timeoutHandler, userValue, false};
}

Bool xPL_removeTimeoutHandler(xPL_TimeoutHandler timeoutHandler) {
  auto table = timeouts();
  int index = table.find(
      [&](const TimeoutHandler &entry) { return entry.timeoutHandler == timeoutHandler; });
  if (index < 0) return FALSE;
  table.removeAt(index);
  return TRUE;
}

void xPL_addTimer(xPL_TimerHandler theHandler, int theMilliseconds, xPL_ObjectPtr userValue) {
  timers().append() = {xPL_nowMilliseconds() + (theMilliseconds > 0 ? theMilliseconds : 0),
                       theHandler, userValue, eventLoop.timersArmed++};
}

Bool xPL_removeTimer(xPL_TimerHandler theHandler, xPL_ObjectPtr userValue) {
  int index = findTimer(theHandler, userValue);
  if (index < 0) return FALSE;
  timers().removeAt(index);
  return TRUE;
}

Bool xPL_isTimerPending(xPL_TimerHandler theHandler, xPL_ObjectPtr userValue) {
  return findTimer(theHandler, userValue) >= 0 ? TRUE : FALSE;
}

Bool xPL_processMessages(int theTimeout) {
  Bool idleWorkDone = FALSE;
  int idleMilliseconds = 0;

  while (xPLFD != -1) {
    int slice;
    if (theTimeout == -1) {
      slice = sliceMilliseconds;
    } else if (theTimeout > 0) {
      slice = theTimeout - idleMilliseconds;
      if (slice > sliceMilliseconds) slice = sliceMilliseconds;
    } else {
      slice = 0;
    }

    int readyCount = pollSlice(slice);

    if (xPLFD == -1) break;
    if (readyCount < 0) {
      /* The caller learns the reason from errno. */
      int pollError = errno;
      xPL_Debug("Error while polling devices - %s (%d) - terminating", strerror(pollError),
                pollError);
      errno = pollError;
      return FALSE;
    }

    if (readyCount == 0) {
      /* A slice shorter than a full one is the last of a limited run. */
      if (slice < sliceMilliseconds) break;
      doTimeouts();
      idleWorkDone = TRUE;
      idleMilliseconds += slice;
      continue;
    }

    idleMilliseconds = 0;
    if (!dispatchReadyDevices(readyCount)) break;
    runDueTimers();
    if (xPLFD == -1) break;
    if (idleWorkIsDue()) {
      doTimeouts();
      idleWorkDone = TRUE;
    }
  }

  if (!idleWorkDone) doTimeouts();
  return FALSE;
}
