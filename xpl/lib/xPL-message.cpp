// Placeholder until this unit is written: every operation does nothing.
#include "xPL_priv.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"


void xPL_setMessageType(xPL_MessagePtr theMessage, xPL_MessageType theMessageType) {  }
xPL_MessageType xPL_getMessageType(xPL_MessagePtr theMessage) { return xPL_MESSAGE_ANY; }
int xPL_getHopCount(xPL_MessagePtr theMessage) { return 0; }
Bool xPL_isReceivedMessage(xPL_MessagePtr theMessage) { return 0; }
void xPL_setBroadcastMessage(xPL_MessagePtr theMessage, Bool isBroadcast) {  }
Bool xPL_isBroadcastMessage(xPL_MessagePtr theMessage) { return 0; }
void xPL_setTargetGroup(xPL_MessagePtr theMessage, const char *theGroup) {  }
String xPL_getTargetGroup(xPL_MessagePtr theMessage) { return 0; }
Bool xPL_isGroupMessage(xPL_MessagePtr theMessage) { return 0; }
void xPL_setTargetVendor(xPL_MessagePtr theMessage, const char *theVendor) {  }
void xPL_setTargetDeviceID(xPL_MessagePtr theMessage, const char *theDeviceID) {  }
void xPL_setTargetInstanceID(xPL_MessagePtr theMessage, const char *theInstanceID) {  }
void xPL_setTarget(xPL_MessagePtr theMessage, const char *theVendor, const char *theDeviceID, const char *theInstanceID) {  }
String xPL_getTargetVendor(xPL_MessagePtr theMessage) { return 0; }
String xPL_getTargetDeviceID(xPL_MessagePtr theMessage) { return 0; }
String xPL_getTargetInstanceID(xPL_MessagePtr theMessage) { return 0; }
void xPL_setSourceVendor(xPL_MessagePtr theMessage, const char *theVendor) {  }
void xPL_setSourceDeviceID(xPL_MessagePtr theMessage, const char *theDeviceID) {  }
void xPL_setSourceInstanceID(xPL_MessagePtr theMessage, const char *theInstanceID) {  }
void xPL_setSource(xPL_MessagePtr theMessage, const char *theVendor, const char *theDeviceID, const char *theInstanceID) {  }
String xPL_getSourceVendor(xPL_MessagePtr theMessage) { return 0; }
String xPL_getSourceDeviceID(xPL_MessagePtr theMessage) { return 0; }
String xPL_getSourceInstanceID(xPL_MessagePtr theMessage) { return 0; }
void xPL_setSchemaClass(xPL_MessagePtr theMessage, const char *theSchemaClass) {  }
void xPL_setSchemaType(xPL_MessagePtr theMessage, const char *theSchemaType) {  }
void xPL_setSchema(xPL_MessagePtr theMessage, const char *theSchemaClass, const char *theSchemaType) {  }
String xPL_getSchemaClass(xPL_MessagePtr theMessage) { return 0; }
String xPL_getSchemaType(xPL_MessagePtr theMessage) { return 0; }
xPL_NameValueListPtr xPL_getMessageBody(xPL_MessagePtr theMessage) { return 0; }
void xPL_addMessageNamedValue(xPL_MessagePtr theMessage, const char *theName, const char *theValue) {  }
void xPL_setMessageNamedValue(xPL_MessagePtr theMessage, const char *theName, const char *theValue) {  }
void xPL_setMessageNamedValues(xPL_MessagePtr theMessage, ...) {  }
String xPL_getMessageNamedValue(xPL_MessagePtr theMessage, const char *theName) { return 0; }
Bool xPL_doesMessageNamedValueExist(xPL_MessagePtr theMessage, const char *theName) { return 0; }
void xPL_clearMessageNamedValues(xPL_MessagePtr theMessage) {  }
xPL_MessagePtr xPL_createTargetedMessage(xPL_ServicePtr theService, xPL_MessageType theType, const char *theVendor, const char *theDeviceID, const char *theInstanceID) { return 0; }
xPL_MessagePtr xPL_createGroupTargetedMessage(xPL_ServicePtr theService, xPL_MessageType theType, const char *theGroup) { return 0; }
xPL_MessagePtr xPL_createBroadcastMessage(xPL_ServicePtr theService, xPL_MessageType theType) { return 0; }
void xPL_releaseMessage(xPL_MessagePtr theMessage) {  }
String xPL_formatMessage(xPL_MessagePtr theMessage) { return 0; }
Bool xPL_sendMessage(xPL_MessagePtr theMessage) { return 0; }
xPL_MessagePtr parseMessage(const char *theText) { return 0; }
void xPL_receiveMessage(int theFD, int thePollInfo, int userValue) {  }
Bool xPL_isHubConfirmed(void) { return 0; }
void xPL_setHubConfirmed(Bool isConfirmed) {}
