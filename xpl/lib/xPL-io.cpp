// Placeholder until this unit is written: every operation does nothing.
#include "xPL_priv.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"


Bool xPL_initialize(xPL_ConnectType theConnectType) { return 0; }
Bool xPL_shutdown(void) { return 0; }
Bool xPL_sendRawMessage(const char *theData, int dataLen) { return 0; }
int xPL_getFD(void) { return 0; }
xPL_ConnectType xPL_getConnectType(void) { return xcViaHub; }
int xPL_getPort(void) { return 0; }
String xPL_getBroadcastIPAddr(void) { return 0; }
String xPL_getListenerIPAddr(void) { return 0; }
String xPL_getBroadcastInterface(void) { return 0; }
void xPL_setBroadcastInterface(const char *newInterfaceName) {  }
String xPL_getFairlyUniqueIdent(void) { return 0; }
Bool xPL_addIODevice(xPL_IOHandler theIOHandler, int userValue, int theFD, Bool watchRead, Bool watchWrite, Bool watchError) { return 0; }
Bool xPL_removeIODevice(int theFD) { return 0; }
void xPL_addTimeoutHandler(xPL_TimeoutHandler timeoutHandler, int timeoutInSeconds, xPL_ObjectPtr userValue) {  }
Bool xPL_removeTimeoutHandler(xPL_TimeoutHandler timeoutHandler) { return 0; }
Bool xPL_processMessages(int theTimeout) { return 0; }
int xPLFD = -1;
void xPL_setRawSender(xPL_RawSender theSender) {}
