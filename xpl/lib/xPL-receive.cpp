// xPL-receive.cpp -- the receive path of the listener socket: every waiting
// datagram is offered raw to the raw listeners, parsed, checked for the
// hub's echo of our own heartbeat, and dispatched to the message listeners.
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "xPL_priv.h"

namespace {

constexpr int kReceiveBuffSize = 2048;
// Largest datagram read; one byte is kept for the terminator.
constexpr int kMaxReadSize = kReceiveBuffSize - 1;

// Incoming datagrams are read here, apart from the outgoing text, so that a
// raw listener that sends a message cannot overwrite the text still to parse.
char receiveBuff[kReceiveBuffSize];

Bool hubConfirmed = FALSE;

// Whether theMessage is the hub repeating this device's own heartbeat: it
// carries back the address and port that the heartbeat announced.
bool isHubEcho(xPL_MessagePtr theMessage) {
  if (theMessage == nullptr || theMessage->schemaClass == nullptr) return false;
  if (xPL_strcmpIgnoreCase(theMessage->schemaClass, "hbeat") != 0 &&
      xPL_strcmpIgnoreCase(theMessage->schemaClass, "config") != 0) {
    return false;
  }
  const char *remoteIP = xPL_getMessageNamedValue(theMessage, "remote-ip");
  const char *remotePort = xPL_getMessageNamedValue(theMessage, "port");
  if (remoteIP == nullptr || remotePort == nullptr) return false;
  const char *listenerIP = xPL_getListenerIPAddr();
  if (listenerIP == nullptr || strcmp(remoteIP, listenerIP) != 0) return false;
  return strcmp(remotePort, xPL_intToStr(xPL_getPort())) == 0;
}

}  // namespace

// The listener socket is read directly; the loop's arguments add nothing.
void xPL_receiveMessage(int, int, int) {
  for (;;) {
    // Never wait: the handler only drains what is already queued.
    const ssize_t bytesRead = recv(xPLFD, receiveBuff, kMaxReadSize, MSG_DONTWAIT);
    if (bytesRead < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      xPL_Debug("Error reading xPL message from network - %s (%d)", strerror(errno), errno);
      return;
    }

    const int byteCount = static_cast<int>(bytesRead);
    receiveBuff[byteCount] = '\0';
    xPL_Debug("Just read %d bytes as packet [%s]", byteCount, receiveBuff);

    xPL_dispatchRawEvent(receiveBuff, byteCount);

    xPL_MessagePtr theMessage = xPL_parseMessage(receiveBuff);
    if (theMessage == nullptr) {
      xPL_Debug("Error parsing network message - ignored");
      continue;
    }

    if (!hubConfirmed && isHubEcho(theMessage)) {
      xPL_Debug("Hub detected and confirmed existing");
      hubConfirmed = TRUE;
    }

    xPL_Debug("Now dispatching valid message");
    xPL_dispatchMessageEvent(theMessage);
    xPL_releaseMessage(theMessage);
  }
}

Bool xPL_isHubConfirmed(void) { return hubConfirmed; }

void xPL_setHubConfirmed(Bool isConfirmed) { hubConfirmed = isConfirmed; }

