// xPL-configitems.cpp -- the configurable items of a service and their
// values: declared by the application or by a configuration file, filled by
// the application while the service is disabled and by an installed
// configuration at any time.
#include "xPL_priv.h"
#include "xPL_table.h"

namespace {

constexpr int configListGrowth = 4;
constexpr int maxValueGrowth = 8;
constexpr int maxItemNameLength = xpl::internal::maxItemNameLength;

// Opens the value lists of an enabled service to the installation alone.
bool configurationBeingInstalled = false;

xpl::internal::Table<xPL_ServiceConfigurable> itemsOf(xPL_ServicePtr theService) {
  return {theService->configList, theService->configCount, theService->configAllocCount,
          configListGrowth};
}

// Single-valued items grow one slot at a time, others by half their
// maximum but never more than 8 slots.
int valueGrowthFor(const xPL_ServiceConfigurable *theItem) {
  if (theItem->maxValueCount <= 1) return 1;
  int growth = theItem->maxValueCount / 2;
  return growth > maxValueGrowth ? maxValueGrowth : growth;
}

xpl::internal::Table<String> valuesOf(xPL_ServiceConfigurablePtr theItem) {
  return {theItem->valueList, theItem->valueCount, theItem->valueAllocCount,
          valueGrowthFor(theItem)};
}

// Item names are kept to 127 characters; a longer name finds its item by
// the same first 127 characters.
bool sameItemName(const char *storedName, const char *givenName) {
  return xPL_strncmpIgnoreCase(storedName, givenName, maxItemNameLength) == 0;
}

// Index of the item named itemName ignoring case, or -1.
int findItemIndex(xPL_ServicePtr theService, const char *itemName) {
  if (theService == nullptr || itemName == nullptr) return -1;
  for (int i = 0; i < theService->configCount; i++) {
    if (sameItemName(theService->configList[i].itemName, itemName)) return i;
  }
  return -1;
}

// Values of an enabled service are locked except during an installation.
bool valuesLocked(xPL_ServicePtr theService) {
  return theService->serviceEnabled && !configurationBeingInstalled;
}

void releaseItemValues(xPL_ServiceConfigurablePtr theItem) {
  for (int i = 0; i < theItem->valueCount; i++) {
    xPL_FreeStr(theItem->valueList[i]);
    theItem->valueList[i] = nullptr;
  }
  valuesOf(theItem).clear();
}

void releaseItem(xPL_ServiceConfigurablePtr theItem) {
  releaseItemValues(theItem);
  valuesOf(theItem).release();
  xPL_FreeStr(theItem->itemName);
  theItem->itemName = nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Items and values
// ---------------------------------------------------------------------------

Bool xPL_isConfigurableService(xPL_ServicePtr theService) {
  return theService != nullptr && theService->configurableService;
}

Bool xPL_isServiceConfigured(xPL_ServicePtr theService) {
  return theService != nullptr && theService->serviceConfigured;
}

xPL_ServiceConfigurablePtr xPL_findServiceConfigurable(xPL_ServicePtr theService,
                                                       const char *itemName) {
  int index = findItemIndex(theService, itemName);
  return index < 0 ? nullptr : &theService->configList[index];
}

Bool xPL_addServiceConfigurable(xPL_ServicePtr theService, const char *itemName,
                                xPL_ConfigurableType itemType, int maxValueCount) {
  if (theService == nullptr || itemName == nullptr) return FALSE;
  if (theService->serviceEnabled || findItemIndex(theService, itemName) >= 0) return FALSE;

  xPL_ServiceConfigurablePtr theItem = &itemsOf(theService).append();
  theItem->itemName = xPL_StrNDup(itemName, maxItemNameLength);
  theItem->itemType = itemType;
  theItem->maxValueCount = maxValueCount <= 0 ? 1 : maxValueCount;
  xPL_Debug("CONFIG:: Added configurable [%s] (%s), TYPE=%d, MAX_VALUES=%d", theItem->itemName,
            itemName, static_cast<int>(itemType), theItem->maxValueCount);
  return TRUE;
}

Bool xPL_removeServiceConfigurable(xPL_ServicePtr theService, const char *itemName) {
  if (theService == nullptr || theService->serviceEnabled) return FALSE;
  int index = findItemIndex(theService, itemName);
  if (index < 0) return FALSE;
  releaseItem(&theService->configList[index]);
  itemsOf(theService).removeAt(index);
  return TRUE;
}

void xPL_removeAllServiceConfigurables(xPL_ServicePtr theService) {
  if (theService == nullptr || theService->serviceEnabled) return;
  for (int i = 0; i < theService->configCount; i++) releaseItem(&theService->configList[i]);
  itemsOf(theService).clear();
}

void xPL_releaseServiceConfigurables(xPL_ServicePtr theService) {
  if (theService == nullptr || theService->serviceEnabled) return;
  xPL_removeAllServiceConfigurables(theService);
  itemsOf(theService).release();
  xPL_FreeStr(theService->configFileName);
  theService->configFileName = nullptr;
  xpl::internal::releaseConfigChangedListeners(theService);
}

void xPL_clearServiceConfigValues(xPL_ServicePtr theService, const char *itemName) {
  int index = findItemIndex(theService, itemName);
  if (index < 0 || valuesLocked(theService)) return;
  releaseItemValues(&theService->configList[index]);
}

void xPL_clearAllServiceConfigValues(xPL_ServicePtr theService) {
  if (theService == nullptr || valuesLocked(theService)) return;
  for (int i = 0; i < theService->configCount; i++) releaseItemValues(&theService->configList[i]);
}

Bool xPL_addServiceConfigValue(xPL_ServicePtr theService, const char *itemName,
                               const char *itemValue) {
  int index = findItemIndex(theService, itemName);
  if (index < 0 || valuesLocked(theService)) return FALSE;
  xPL_ServiceConfigurablePtr theItem = &theService->configList[index];
  if (theItem->valueCount >= theItem->maxValueCount) return FALSE;
  valuesOf(theItem).append() = xPL_StrDup(itemValue);
  return TRUE;
}

void xPL_setServiceConfigValueAt(xPL_ServicePtr theService, const char *itemName, int valueIndex,
                                 const char *itemValue) {
  int index = findItemIndex(theService, itemName);
  if (index < 0 || theService->serviceEnabled || valueIndex < 0) return;
  xPL_ServiceConfigurablePtr theItem = &theService->configList[index];
  if (valueIndex < theItem->valueCount) {
    xPL_FreeStr(theItem->valueList[valueIndex]);
    theItem->valueList[valueIndex] = xPL_StrDup(itemValue);
    return;
  }
  xPL_addServiceConfigValue(theService, itemName, itemValue);
}

void xPL_setServiceConfigValue(xPL_ServicePtr theService, const char *itemName,
                               const char *itemValue) {
  xPL_setServiceConfigValueAt(theService, itemName, 0, itemValue);
}

int xPL_getServiceConfigValueCount(xPL_ServicePtr theService, const char *itemName) {
  int index = findItemIndex(theService, itemName);
  return index < 0 ? 0 : theService->configList[index].valueCount;
}

String xPL_getServiceConfigValueAt(xPL_ServicePtr theService, const char *itemName,
                                   int valueIndex) {
  int index = findItemIndex(theService, itemName);
  if (index < 0 || valueIndex < 0) return nullptr;
  xPL_ServiceConfigurablePtr theItem = &theService->configList[index];
  return valueIndex < theItem->valueCount ? theItem->valueList[valueIndex] : nullptr;
}

String xPL_getServiceConfigValue(xPL_ServicePtr theService, const char *itemName) {
  return xPL_getServiceConfigValueAt(theService, itemName, 0);
}

void xpl::internal::setConfigurationBeingInstalled(bool isInstalling) {
  configurationBeingInstalled = isInstalling;
}

// ---------------------------------------------------------------------------
// Test hooks
// ---------------------------------------------------------------------------

int xPL_getServiceConfigurableCount(xPL_ServicePtr theService) { return theService->configCount; }

xPL_ServiceConfigurablePtr xPL_getServiceConfigurableAt(xPL_ServicePtr theService, int theIndex) {
  if (theIndex < 0 || theIndex >= theService->configCount) return nullptr;
  return &theService->configList[theIndex];
}

int xPL_getServiceConfigValueCapacity(xPL_ServicePtr theService, const char *itemName) {
  const int index = findItemIndex(theService, itemName);
  return index < 0 ? 0 : theService->configList[index].valueAllocCount;
}
