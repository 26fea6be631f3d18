// Placeholder until this unit is written: every operation does nothing.
#include "xPL_priv.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"


void xPL_addRawListener(xPL_rawListener theHandler, xPL_ObjectPtr userValue) {  }
Bool xPL_removeRawListener(xPL_rawListener theHandler) { return 0; }
Bool xPL_dispatchRawEvent(String theData, int dataLen) { return 0; }
void xPL_addMessageListener(xPL_messageListener theHandler, xPL_ObjectPtr userValue) {  }
Bool xPL_removeMessageListener(xPL_messageListener theHandler) { return 0; }
Bool xPL_dispatchMessageEvent(xPL_MessagePtr theMessage) { return 0; }
void xPL_addServiceListener(xPL_ServicePtr theService, xPL_ServiceListener theListener, xPL_MessageType messageType, const char *schemaClass, const char *schemaType, xPL_ObjectPtr userValue) {  }
Bool xPL_removeServiceListener(xPL_ServicePtr theService, xPL_ServiceListener theListener) { return 0; }
Bool xPL_dispatchServiceEvent(xPL_ServicePtr theService, xPL_MessagePtr theMessage) { return 0; }
void xPL_addServiceConfigChangedListener(xPL_ServicePtr theService, xPL_ServiceConfigChangedListener theListener, xPL_ObjectPtr userValue) {  }
Bool xPL_removeServiceConfigChangedListener(xPL_ServicePtr theService, xPL_ServiceConfigChangedListener theListener) { return 0; }
Bool xPL_dispatchServiceConfigChangedEvent(xPL_ServicePtr theService) { return 0; }
