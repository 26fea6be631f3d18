// xPL-start.cpp -- starting and stopping the library as a whole.
//
// Start-up opens the transport and hands the listener socket to the event
// loop under the receive handler.  Shutdown first runs the shutdown work
// that the layers above registered (the services say goodbye there, while
// both sockets are still open), then takes the socket from the loop and
// closes the transport, which also ends a running loop.
#include "xPL_priv.h"
#include "xPL_table.h"

namespace {

constexpr int shutdownWorkGrowth = 4;

// Whether the listener socket is registered with the event loop.
bool ioDeviceInstalled = false;

xpl::internal::ShutdownWork *shutdownWorkList = nullptr;
int shutdownWorkCount = 0;
int shutdownWorkAllocCount = 0;

xpl::internal::Table<xpl::internal::ShutdownWork> shutdownWork() {
  return {shutdownWorkList, shutdownWorkCount, shutdownWorkAllocCount, shutdownWorkGrowth};
}

}  // namespace

void xpl::internal::addShutdownWork(ShutdownWork theWork) { shutdownWork().append() = theWork; }

Bool xPL_initialize(xPL_ConnectType theConnectType) {
  if (!xpl::internal::openTransport(theConnectType)) return FALSE;
  if (!ioDeviceInstalled && xPL_addIODevice(xPL_receiveMessage, -1, xPLFD, TRUE, FALSE, FALSE)) {
    ioDeviceInstalled = true;
  }
  return TRUE;
}

Bool xPL_shutdown(void) {
  if (xPLFD == -1) return FALSE;
  for (int i = 0; i < shutdownWorkCount; i++) shutdownWorkList[i]();
  if (xPL_removeIODevice(xPLFD)) ioDeviceInstalled = false;
  xpl::internal::closeTransport();
  return TRUE;
}
