// Placeholder until this unit is written: every operation does nothing.
#include "xPL_priv.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"


xPL_ServicePtr xPL_createService(const char *theVendor, const char *theDeviceID, const char *theInstanceID) { return 0; }
void xPL_releaseService(xPL_ServicePtr theService) {  }
int xPL_getServiceCount(void) { return 0; }
xPL_ServicePtr xPL_getServiceAt(int theIndex) { return 0; }
void xPL_setServiceEnabled(xPL_ServicePtr theService, Bool isEnabled) {  }
Bool xPL_isServiceEnabled(xPL_ServicePtr theService) { return 0; }
void xPL_setServiceVendor(xPL_ServicePtr theService, const char *theVendor) {  }
void xPL_setServiceDeviceID(xPL_ServicePtr theService, const char *theDeviceID) {  }
void xPL_setServiceInstanceID(xPL_ServicePtr theService, const char *theInstanceID) {  }
String xPL_getServiceVendor(xPL_ServicePtr theService) { return 0; }
String xPL_getServiceDeviceID(xPL_ServicePtr theService) { return 0; }
String xPL_getServiceInstanceID(xPL_ServicePtr theService) { return 0; }
void xPL_setServiceVersion(xPL_ServicePtr theService, const char *theVersion) {  }
String xPL_getServiceVersion(xPL_ServicePtr theService) { return 0; }
void xPL_setReportOwnMessages(xPL_ServicePtr theService, Bool reportOwnMessages) {  }
Bool xPL_isReportOwnMessages(xPL_ServicePtr theService) { return 0; }
void xPL_setRespondingToBroadcasts(xPL_ServicePtr theService, Bool respondToBroadcasts) {  }
Bool xPL_isRespondingToBroadcasts(xPL_ServicePtr theService) { return 0; }
void xPL_setHeartbeatInterval(xPL_ServicePtr theService, int newInterval) {  }
int xPL_getHeartbeatInterval(xPL_ServicePtr theService) { return 0; }
Bool xPL_isServiceFiltered(xPL_ServicePtr theService) { return 0; }
void xPL_clearServiceFilters(xPL_ServicePtr theService) {  }
Bool xPL_doesServiceHaveGroups(xPL_ServicePtr theService) { return 0; }
void xPL_clearServiceGroups(xPL_ServicePtr theService) {  }
Bool xPL_sendHeartbeat(xPL_ServicePtr theService) { return 0; }
Bool xPL_sendGoodbyeHeartbeat(xPL_ServicePtr theService) { return 0; }
void xPL_sendTimelyHeartbeats(void) {  }
Bool xPL_sendServiceMessage(xPL_ServicePtr theService, xPL_MessagePtr theMessage) { return 0; }
void xPL_disableAllServices(void) {  }
void xPL_handleServiceMessage(xPL_MessagePtr theMessage, xPL_ObjectPtr userValue) {  }
