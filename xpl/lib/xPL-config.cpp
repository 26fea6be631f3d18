// Placeholder until this unit is written: every operation does nothing.
#include "xPL_priv.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"


xPL_ServicePtr xPL_createConfigurableService(const char *theVendor, const char *theDeviceID, const char *theConfigFile) { return 0; }
Bool xPL_isConfigurableService(xPL_ServicePtr theService) { return 0; }
Bool xPL_isServiceConfigured(xPL_ServicePtr theService) { return 0; }
xPL_ServiceConfigurablePtr xPL_findServiceConfigurable(xPL_ServicePtr theService, const char *itemName) { return 0; }
Bool xPL_addServiceConfigurable(xPL_ServicePtr theService, const char *itemName, xPL_ConfigurableType itemType, int maxValueCount) { return 0; }
Bool xPL_removeServiceConfigurable(xPL_ServicePtr theService, const char *itemName) { return 0; }
void xPL_removeAllServiceConfigurables(xPL_ServicePtr theService) {  }
void xPL_releaseServiceConfigurables(xPL_ServicePtr theService) {  }
void xPL_clearServiceConfigValues(xPL_ServicePtr theService, const char *itemName) {  }
void xPL_clearAllServiceConfigValues(xPL_ServicePtr theService) {  }
Bool xPL_addServiceConfigValue(xPL_ServicePtr theService, const char *itemName, const char *itemValue) { return 0; }
void xPL_setServiceConfigValueAt(xPL_ServicePtr theService, const char *itemName, int valueIndex, const char *itemValue) {  }
void xPL_setServiceConfigValue(xPL_ServicePtr theService, const char *itemName, const char *itemValue) {  }
int xPL_getServiceConfigValueCount(xPL_ServicePtr theService, const char *itemName) { return 0; }
String xPL_getServiceConfigValueAt(xPL_ServicePtr theService, const char *itemName, int valueIndex) { return 0; }
String xPL_getServiceConfigValue(xPL_ServicePtr theService, const char *itemName) { return 0; }
String xPL_getServiceConfigFile(xPL_ServicePtr theService) { return 0; }
void xPL_setServiceConfigFile(xPL_ServicePtr theService, const char *theConfigFile) {}
Bool xPL_loadServiceConfig(xPL_ServicePtr theService) { return 0; }
Bool xPL_saveServiceConfig(xPL_ServicePtr theService) { return 0; }
