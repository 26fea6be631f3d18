// xPL-transport.cpp -- the network transport: interface choice, the
// broadcast and listener sockets, raw sending and the sending of formatted
// messages, identifiers, and the library's common command-line options.
//
// Every outgoing message leaves as one datagram on the broadcast socket,
// addressed to the interface's broadcast address on the xPL port.  The
// listener socket either owns the xPL port itself (standalone) or sits on a
// port the system picks, to which a hub on the same host relays the
// network's traffic.  Starting and stopping the library as a whole is done
// above, in xPL-start; the receive path is xPL-receive.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "xPL_priv.h"

int xPLFD = -1;

namespace {

// ---------------------------------------------------------------------------
// State
// ---------------------------------------------------------------------------

int xPLBroadcastFD = -1;
xPL_ConnectType xPLconnectType = xcViaHub;
int xPLPort = XPL_PORT;
char xPLInterfaceName[64] = "";
in_addr xPLInterfaceAddr;
sockaddr_in xPLBroadcastAddr;
char uniqueIDPrefix[9] = "";
// Why the last start-up failed, for the operator; empty after a success.
char startupFailure[256] = "";

constexpr char base36Table[] = "0123456789abcdefghijklmnopqrstuvwxyz";
static_assert(sizeof(base36Table) == 36 + 1, "36 digits and a terminator");

// Interface names must fit an interface request (15 characters on Linux).
constexpr size_t maxInterfaceName = IFNAMSIZ - 1;
static_assert(maxInterfaceName < sizeof(xPLInterfaceName), "name buffer holds the longest name");

constexpr int initialReceiveBufferTry = 1024000;
constexpr int receiveBufferTryStep = 64000;

xPL_RawSender rawSender = nullptr;

// The library's command line selects no connection type.
constexpr xPL_ConnectType xPL_ParsedConnectionType = xcViaHub;

// ---------------------------------------------------------------------------
// Sockets
// ---------------------------------------------------------------------------

// Records why start-up failed.  The log lines stay as they are (and the
// listener's only show with debugging on); this one line is for the
// application to pass on, whatever the debug setting.
__attribute__((format(printf, 1, 2))) void noteStartupFailure(const char *theFormat, ...) {
  va_list arguments;
  va_start(arguments, theFormat);
  vsnprintf(startupFailure, sizeof(startupFailure), theFormat, arguments);
  va_end(arguments);
}

bool markNonblocking(int theFD) {
  const int flags = fcntl(theFD, F_GETFL);
  if (flags == -1) return false;
  return fcntl(theFD, F_SETFL, flags | O_NONBLOCK) != -1;
}

bool readReceiveBufferSize(int theFD, int *theSize) {
  socklen_t sizeLength = sizeof(*theSize);
  if (getsockopt(theFD, SOL_SOCKET, SO_RCVBUF, theSize, &sizeLength) == 0) return true;
  xPL_Debug("Unable to read receive socket buffer size - %s (%d)", strerror(errno), errno);
  return false;
}

// Raises the listener's receive buffer as far as the system allows, so that a
// burst of datagrams waits in the socket rather than being dropped.
bool maximizeReceiveBufferSize(int theFD) {
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
      if (!readReceiveBufferSize(theFD, &actualSize)) return false;
      xPL_Debug("Actual receive socket buffer size is %d bytes", actualSize);
      return actualSize > initialSize;
    }
    xPL_Debug("Not able to set receive buffer to %d bytes - retrying", trySize);
  }
  xPL_Debug("Unable to increase receive buffer size - dang!");
  return false;
}

// An interface request for the named interface, zeroed, family AF_INET.
ifreq interfaceRequest(const char *theName) {
  ifreq request;
  memset(&request, 0, sizeof(request));
  memcpy(request.ifr_name, theName, strnlen(theName, IFNAMSIZ - 1));
  request.ifr_addr.sa_family = AF_INET;
  return request;
}

// Chooses the first interface that is up and not the loopback.
bool findDefaultInterface(int sockfd) {
  char interfaceBuffer[1024];
  ifconf interfaceList;
  interfaceList.ifc_len = sizeof(interfaceBuffer);
  interfaceList.ifc_buf = interfaceBuffer;
  if (ioctl(sockfd, SIOCGIFCONF, &interfaceList) < 0) return false;

  int recordCount = interfaceList.ifc_len / static_cast<int>(sizeof(ifreq));
  for (int i = 0; i < recordCount; i++) {
    ifreq request = interfaceRequest(interfaceList.ifc_req[i].ifr_name);
    if (ioctl(sockfd, SIOCGIFFLAGS, &request) < 0) continue;
    short flags = request.ifr_flags;
    xPL_Debug("Checking if interface %s is valid w/flags %d", request.ifr_name,
              static_cast<int>(flags));
    if ((flags & IFF_UP) && !(flags & IFF_LOOPBACK)) {
      memset(xPLInterfaceName, 0, sizeof(xPLInterfaceName));
      memcpy(xPLInterfaceName, request.ifr_name, strnlen(request.ifr_name, IFNAMSIZ - 1));
      xPL_Debug("Choose interface %s as default interface", xPLInterfaceName);
      return true;
    }
  }
  return false;
}

// Opens the broadcast socket and aims it at the interface's broadcast address.
bool setupBroadcastAddr() {
  protoent *udpProtocol = getprotobyname("udp");
  if (udpProtocol == nullptr) {
    xPL_Error("Unable to lookup UDP protocol info");
    noteStartupFailure("the UDP protocol is unknown to this system");
    return false;
  }
  int sockfd = socket(AF_INET, SOCK_DGRAM, udpProtocol->p_proto);
  if (sockfd < 0) {
    int error = errno;
    xPL_Error("Unable to create broadcast socket %s (%d)", strerror(error), error);
    noteStartupFailure("cannot create the broadcast socket: %s", strerror(error));
    return false;
  }
  int flag = 1;
  if (setsockopt(sockfd, SOL_SOCKET, SO_BROADCAST, &flag, sizeof(flag)) < 0) {
    int error = errno;
    xPL_Error("Unable to set SO_BROADCAST on socket %s (%d)", strerror(error), error);
    noteStartupFailure("cannot allow broadcasts on the broadcast socket: %s", strerror(error));
    close(sockfd);
    return false;
  }
  if (xPLInterfaceName[0] == '\0' && !findDefaultInterface(sockfd)) {
    xPL_Error("Could not find a working, non-loopback network interface");
    noteStartupFailure("no network interface is up other than the loopback");
    close(sockfd);
    return false;
  }

  ifreq request = interfaceRequest(xPLInterfaceName);
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
    return false;
  }
  xPLInterfaceAddr = reinterpret_cast<sockaddr_in *>(&request.ifr_addr)->sin_addr;
  xPL_Debug("Auto-assigning IP address of %s", inet_ntoa(xPLInterfaceAddr));

  request = interfaceRequest(xPLInterfaceName);
  if (ioctl(sockfd, SIOCGIFNETMASK, &request) < 0) {
    int error = errno;
    xPL_Error("Unable to extract the interface net mask");
    noteStartupFailure("cannot read the netmask of network interface %s: %s", xPLInterfaceName,
                       strerror(error));
    close(sockfd);
    return false;
  }
  in_addr netmask = reinterpret_cast<sockaddr_in *>(&request.ifr_netmask)->sin_addr;

  memset(&xPLBroadcastAddr, 0, sizeof(xPLBroadcastAddr));
  xPLBroadcastAddr.sin_family = AF_INET;
  xPLBroadcastAddr.sin_addr.s_addr = xPLInterfaceAddr.s_addr | ~netmask.s_addr;
  xPLBroadcastAddr.sin_port = htons(XPL_PORT);

  xPLBroadcastFD = sockfd;
  markNonblocking(xPLBroadcastFD);
  xPL_Debug("Assigned xPL Broadcast address of %s, port %d", inet_ntoa(xPLBroadcastAddr.sin_addr),
            XPL_PORT);
  return true;
}

// A UDP socket with SO_BROADCAST (and SO_REUSEADDR when asked), or -1.
int openListenerSocket(bool reuseAddress) {
  protoent *udpProtocol = getprotobyname("udp");
  if (udpProtocol == nullptr) {
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

bool bindListener(int sockfd, int thePort) {
  sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(thePort));
  if (bind(sockfd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) < 0) {
    int error = errno;
    xPL_Debug("Unable to bind listener socket to port %d, %s (%d)", xPLPort, strerror(error),
              error);
    if (thePort == 0) {
      noteStartupFailure("cannot bind the listener socket to a free port: %s", strerror(error));
    } else {
      noteStartupFailure("cannot bind the listener socket to port %d: %s", thePort,
                         strerror(error));
    }
    return false;
  }
  return true;
}

// Owns port 3865 ourselves and hears the network's broadcasts directly.  The
// port is set afresh: after a hub-mode run xPLPort still holds the port the
// system picked then, and binding that would miss the network's traffic.
bool attemptStandaloneConnection() {
  int sockfd = openListenerSocket(true);
  if (sockfd < 0) return false;
  xPLPort = XPL_PORT;
  if (!bindListener(sockfd, XPL_PORT)) {
    close(sockfd);
    return false;
  }
  xPLFD = sockfd;
  markNonblocking(xPLFD);
  maximizeReceiveBufferSize(xPLFD);
  xPL_Debug("xPL Started in standalone mode");
  return true;
}

// Listens on a port the system picks; the hub relays traffic to it.
bool attempHubConnection() {
  int sockfd = openListenerSocket(false);
  if (sockfd < 0) return false;
  if (!bindListener(sockfd, 0)) {
    close(sockfd);
    return false;
  }
  sockaddr_in bound;
  socklen_t boundLength = sizeof(bound);
  if (getsockname(sockfd, reinterpret_cast<sockaddr *>(&bound), &boundLength) < 0) {
    int error = errno;
    xPL_Debug("Unable to fetch socket info for bound listener, %s (%d)", strerror(error), error);
    noteStartupFailure("cannot read the listener socket's port: %s", strerror(error));
    close(sockfd);
    return false;
  }
  xPLFD = sockfd;
  xPLPort = ntohs(bound.sin_port);
  markNonblocking(xPLFD);
  maximizeReceiveBufferSize(xPLFD);
  xPL_Debug("xPL Starting in Hub mode on port %d", xPLPort);
  return true;
}

bool makeConnection(xPL_ConnectType theConnectType) {
  if (theConnectType == xcStandAlone || theConnectType == xcAuto) {
    xPL_Debug("Attemping standalone xPL");
    if (attemptStandaloneConnection()) {
      xPLconnectType = xcStandAlone;
      return true;
    }
    xPL_Debug("Standalong connect failed - %d %d", static_cast<int>(theConnectType), 0);
    if (theConnectType == xcStandAlone) return false;
  }
  xPL_Debug("Attempting hub based xPL");
  if (!attempHubConnection()) return false;
  xPLconnectType = xcViaHub;
  return true;
}

// Writes theValue's base-36 digits right-aligned into eight digits at theText.
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

// ---------------------------------------------------------------------------
// Opening and closing
// ---------------------------------------------------------------------------

bool xpl::internal::openTransport(xPL_ConnectType theConnectType) {
  if (xPLFD != -1) {
    noteStartupFailure("the xPL library is already started");
    return false;
  }
  if (!setupBroadcastAddr()) return false;
  if (!makeConnection(theConnectType)) {
    // Do not leave a half-started transport behind.
    close(xPLBroadcastFD);
    xPLBroadcastFD = -1;
    return false;
  }
  // A standalone attempt that failed on the way to hub mode is no failure.
  startupFailure[0] = '\0';
  return true;
}

void xpl::internal::closeTransport() {
  close(xPLBroadcastFD);
  xPLBroadcastFD = -1;
  close(xPLFD);
  xPLFD = -1;
}

// ---------------------------------------------------------------------------
// Sending
// ---------------------------------------------------------------------------

Bool xPL_sendMessage(xPL_MessagePtr theMessage) {
  const char *theText = xPL_formatMessage(theMessage);
  if (theText == nullptr) return FALSE;
  const int theLength = xpl::internal::formattedLength();
  xPL_Debug("About to broadcast %d bytes as [%s]", theLength, theText);
  return xPL_sendRawMessage(theText, theLength) ? TRUE : FALSE;
}

Bool xPL_sendRawMessage(const char *theData, int dataLen) {
  if (rawSender != nullptr) return rawSender(theData, dataLen);
  const ssize_t bytesSent =
      sendto(xPLBroadcastFD, theData, static_cast<size_t>(dataLen), 0,
             reinterpret_cast<const sockaddr *>(&xPLBroadcastAddr), sizeof(xPLBroadcastAddr));
  if (bytesSent == dataLen) {
    xPL_Debug("Broadcasted %d bytes (of %d attempted)", static_cast<int>(bytesSent), dataLen);
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
  if (xPLFD != -1 || newInterfaceName == nullptr) return;
  if (strlen(newInterfaceName) > maxInterfaceName) {
    xPL_Error("Interface name %s is longer than %d characters -- ignored", newInterfaceName,
              static_cast<int>(maxInterfaceName));
    return;
  }
  memset(xPLInterfaceName, 0, sizeof(xPLInterfaceName));
  memcpy(xPLInterfaceName, newInterfaceName, strlen(newInterfaceName));
}

String xPL_getFairlyUniqueIdent(void) {
  if (uniqueIDPrefix[0] == '\0') {
    const uint32_t address = ntohl(xPLInterfaceAddr.s_addr);
    for (int octet = 0; octet < 4; octet++) {
      const int octetValue = static_cast<int>((address >> (24 - 8 * octet)) & 0xFF);
      memcpy(&uniqueIDPrefix[octet * 2], xPL_intToHex(octetValue), 2);
    }
    uniqueIDPrefix[8] = '\0';
  }
  timeval now;
  gettimeofday(&now, nullptr);
  const uint32_t milliseconds =
      static_cast<uint32_t>(now.tv_sec) * 1000u + static_cast<uint32_t>(now.tv_usec / 1000);

  char identifier[32];
  memcpy(identifier, uniqueIDPrefix, 8);
  longToBase32(milliseconds, &identifier[8]);
  identifier[16] = '\0';
  return xPL_StrDup(identifier);
}

// ---------------------------------------------------------------------------
// Common arguments
// ---------------------------------------------------------------------------

Bool xPL_parseCommonArgs(int *argc, char **argv, Bool silentErrors) {
  if (argc == nullptr || argv == nullptr) return TRUE;

  // The program's name always stays; what follows is compacted in place.
  int kept = *argc > 0 ? 1 : 0;
  for (int i = 1; i < *argc; i++) {
    if (strcmp(argv[i], "-interface") == 0) {
      // Without a value the option is dropped: the vector's terminating null
      // is never taken for a name.
      if (i + 1 < *argc) xPL_setBroadcastInterface(argv[++i]);
      continue;
    }
    if (strcmp(argv[i], "-xpldebug") == 0) {
      xPL_setDebugging(TRUE);
      if (!silentErrors) xPL_Debug("xPL library debugging enabled");
      continue;
    }
    argv[kept++] = argv[i];
  }
  *argc = kept;
  return TRUE;
}

xPL_ConnectType xPL_getParsedConnectionType(void) { return xPL_ParsedConnectionType; }

