// xPL-receive.cpp -- the receive path of the listener socket: every waiting
// datagram is offered raw to the raw listeners, parsed, checked for the
// hub's echo of our own heartbeat, and dispatched to the message listeners,
// one after another in the order they arrived.  They are read in batches
// (recvmmsg), so that a burst costs few system calls.
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

#include "xPL_priv.h"

namespace {

constexpr int kReceiveBuffSize = 2048;
// Largest datagram read; one byte is kept for the terminator.
constexpr int kMaxReadSize = kReceiveBuffSize - 1;
// Datagrams taken from the socket by one system call.  A burst costs one
// call per batch instead of one per datagram (and one more to learn that
// the socket is empty).
constexpr int kBatchSize = 16;
static_assert(kBatchSize > 1 && kBatchSize <= 1024, "recvmmsg takes up to 1024 at once");

// Incoming datagrams are read here, apart from the outgoing text, so that a
// listener that sends a message cannot overwrite a text still to parse.
char receiveBuffs[kBatchSize][kReceiveBuffSize];
mmsghdr batchHeaders[kBatchSize];
iovec batchVectors[kBatchSize];
// The datagrams of the batch last read, and the next one to handle.  A
// listener that runs the event loop (and so this handler) while a batch is
// handled finds the rest of it here and handles it first, in order.
int batchCount = 0;
int batchNext = 0;
// A handler called from a listener reads one datagram at a time into its
// own buffer, so that the batch's buffers stay as they are.
bool readingBatch = false;
char nestedBuff[kReceiveBuffSize];

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

// One datagram of byteCount bytes in theText (which has room for the
// terminator): raw listeners, parse, hub echo, message listeners, release.
void handleDatagram(char *theText, int byteCount) {
  const bool debugging = xpl::internal::debugging();
  theText[byteCount] = '\0';
  if (debugging) xPL_Debug("Just read %d bytes as packet [%s]", byteCount, theText);

  xPL_dispatchRawEvent(theText, byteCount);

  xPL_MessagePtr theMessage = xPL_parseMessage(theText);
  if (theMessage == nullptr) {
    if (debugging) xPL_Debug("Error parsing network message - ignored");
    return;
  }

  if (!hubConfirmed && isHubEcho(theMessage)) {
    xPL_Debug("Hub detected and confirmed existing");
    hubConfirmed = TRUE;
  }

  if (debugging) xPL_Debug("Now dispatching valid message");
  xPL_dispatchMessageEvent(theMessage);
  xPL_releaseMessage(theMessage);
}

// Handles what is left of the batch last read.
void handleRestOfBatch() {
  while (batchNext < batchCount) {
    const int i = batchNext++;
    handleDatagram(receiveBuffs[i], static_cast<int>(batchHeaders[i].msg_len));
  }
}

// Whether a failed read ends the drain quietly (nothing more waits) or
// after logging why; an interrupted read is tried again.
bool isRetry(int theError) {
  if (theError == EINTR) return true;
  if (theError != EAGAIN && theError != EWOULDBLOCK) {
    xPL_Debug("Error reading xPL message from network - %s (%d)", strerror(theError), theError);
  }
  return false;
}

// The drain of a handler called from a listener: a datagram at a time.
void drainOneByOne() {
  for (;;) {
    const ssize_t bytesRead = recv(xPLFD, nestedBuff, kMaxReadSize, MSG_DONTWAIT);
    if (bytesRead < 0) {
      if (isRetry(errno)) continue;
      return;
    }
    handleDatagram(nestedBuff, static_cast<int>(bytesRead));
  }
}

// Reads up to kBatchSize waiting datagrams; their count, or -1 when the
// drain is over.
int readBatch() {
  for (int i = 0; i < kBatchSize; i++) {
    batchVectors[i] = {receiveBuffs[i], kMaxReadSize};
    batchHeaders[i].msg_hdr = {};
    batchHeaders[i].msg_hdr.msg_iov = &batchVectors[i];
    batchHeaders[i].msg_hdr.msg_iovlen = 1;
  }
  for (;;) {
    // Never wait: the handler only drains what is already queued.
    const int theCount = recvmmsg(xPLFD, batchHeaders, kBatchSize, MSG_DONTWAIT, nullptr);
    if (theCount >= 0) return theCount;
    if (!isRetry(errno)) return -1;
  }
}

}  // namespace

// The listener socket is read directly; the loop's arguments add nothing.
void xPL_receiveMessage(int, int, int) {
  // Datagrams read before this call, while a listener runs it, come first.
  handleRestOfBatch();
  if (readingBatch) {
    drainOneByOne();
    return;
  }

  // Cleared however the drain ends, a listener's exception included.
  struct BatchReading {
    BatchReading() { readingBatch = true; }
    ~BatchReading() { readingBatch = false; }
    BatchReading(const BatchReading &) = delete;
    BatchReading &operator=(const BatchReading &) = delete;
  } theReading;
  for (;;) {
    const int theCount = readBatch();
    if (theCount <= 0) return;
    batchCount = theCount;
    batchNext = 0;
    handleRestOfBatch();
    // A batch that was not filled took every datagram that was waiting.
    if (theCount < kBatchSize) return;
  }
}

Bool xPL_isHubConfirmed(void) { return hubConfirmed; }

void xPL_setHubConfirmed(Bool isConfirmed) { hubConfirmed = isConfirmed; }

