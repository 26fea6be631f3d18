/*
 * xPL-config.cpp -- configurable services: their items and values, the
 * configuration protocol (config.list, config.current, config.response) and
 * the configuration file that keeps a configuration across restarts.
 *
 * Besides the application's own items, every configurable service has four
 * items that the library interprets itself and that never stand in the item
 * list: "newconf" (the instance ID), "interval" (heartbeat minutes), "group"
 * and "filter".  One routine, installNewConfig, installs a configuration
 * from the network and from the file alike; only the file may define items.
 *
 * The file is rewritten after every configuration from the network.  It is
 * written to a temporary file beside it, synced and renamed over the old
 * one, so that a crash, a full disk or a failed write never costs the last
 * good configuration.
 */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "xPL_priv.h"
#include "xPL_table.h"

namespace {

/* ------------------------------------------------------------------------
 * Tables
 * ------------------------------------------------------------------------ */

/* The keyword that stands for each kind of item, indexed by its enumerator. */
struct ConfigKeyword {
  xPL_ConfigurableType itemType;
  const char *keyword;
};
constexpr ConfigKeyword configKeywords[] = {
    {xPL_CONFIG_OPTIONAL, "option"},
    {xPL_CONFIG_MANDATORY, "config"},
    {xPL_CONFIG_RECONF, "reconf"},
};
constexpr int configKeywordCount = sizeof(configKeywords) / sizeof(configKeywords[0]);
static_assert(configKeywordCount == xPL_CONFIG_RECONF + 1, "one keyword per item type");
static_assert(configKeywords[xPL_CONFIG_OPTIONAL].itemType == xPL_CONFIG_OPTIONAL &&
                  configKeywords[xPL_CONFIG_MANDATORY].itemType == xPL_CONFIG_MANDATORY &&
                  configKeywords[xPL_CONFIG_RECONF].itemType == xPL_CONFIG_RECONF,
              "keywords are indexed by their item type");

/* The library's own items, announced first in the item list and the file. */
struct FixedDefinition {
  const char *keyword;
  const char *definition;
};
constexpr FixedDefinition fixedDefinitions[] = {
    {"reconf", "newconf"},
    {"reconf", "interval"},
    {"option", "group[255]"},
    {"option", "filter[255]"},
};
static_assert(sizeof(fixedDefinitions) / sizeof(fixedDefinitions[0]) == 4,
              "instance ID, interval, groups and filters");

/* Names an item definition may not take, nor any leading part of them. */
constexpr const char *reservedItemNames[] = {"newconf", "interval", "filter", "group"};

/* Message type field of the filter text form, indexed by message type. */
constexpr const char *filterTypeNames[] = {"*", "xpl-cmnd", "xpl-stat", "xpl-trig"};
static_assert(sizeof(filterTypeNames) / sizeof(filterTypeNames[0]) == xPL_MESSAGE_TRIGGER + 1,
              "one filter type name per message type");
constexpr int filterTypeLength = 8; /* "xpl-cmnd" and its siblings */

constexpr int configListGrowth = 4;
constexpr int maxValueGrowth = 8;
constexpr int maxItemNameLength = 127;
constexpr int filterFieldCount = 6;

/* Opens the value lists of an enabled service to the installation alone. */
Bool configurationBeingInstalled = FALSE;

/* ------------------------------------------------------------------------
 * Items
 * ------------------------------------------------------------------------ */

xpl::internal::Table<xPL_ServiceConfigurable> itemsOf(xPL_ServicePtr theService) {
  return {theService->configList, theService->configCount, theService->configAllocCount,
          configListGrowth};
}

/* Single-valued items grow one slot at a time, others by half their
 * maximum but never more than 8 slots. */
int valueGrowthFor(const xPL_ServiceConfigurable *theItem) {
  if (theItem->maxValueCount <= 1) return 1;
  int growth = theItem->maxValueCount / 2;
  return growth > maxValueGrowth ? maxValueGrowth : growth;
}

xpl::internal::Table<String> valuesOf(xPL_ServiceConfigurablePtr theItem) {
  return {theItem->valueList, theItem->valueCount, theItem->valueAllocCount,
          valueGrowthFor(theItem)};
}

/* Item names are kept to 127 characters; a longer name finds its item by
 * the same first 127 characters. */
bool sameItemName(const char *storedName, const char *givenName) {
  return xPL_strncmpIgnoreCase(storedName, givenName, maxItemNameLength) == 0;
}

/* Index of the item named itemName ignoring case, or -1. */
int findItemIndex(xPL_ServicePtr theService, const char *itemName) {
  if (theService == NULL || itemName == NULL) return -1;
  for (int i = 0; i < theService->configCount; i++) {
    if (sameItemName(theService->configList[i].itemName, itemName)) return i;
  }
  return -1;
}

/* Values of an enabled service are locked except during an installation. */
bool valuesLocked(xPL_ServicePtr theService) {
  return theService->serviceEnabled && !configurationBeingInstalled;
}

void releaseItemValues(xPL_ServiceConfigurablePtr theItem) {
  for (int i = 0; i < theItem->valueCount; i++) {
    xPL_FreeStr(theItem->valueList[i]);
    theItem->valueList[i] = NULL;
  }
  valuesOf(theItem).clear();
}

void releaseItem(xPL_ServiceConfigurablePtr theItem) {
  releaseItemValues(theItem);
  valuesOf(theItem).release();
  xPL_FreeStr(theItem->itemName);
  theItem->itemName = NULL;
}

/* The definition text of an item: its name, with "[n]" when it may hold
 * more than one value. */
std::string itemDefinition(const xPL_ServiceConfigurable *theItem) {
  std::string definition = theItem->itemName;
  if (theItem->maxValueCount != 1) {
    definition += "[" + std::to_string(theItem->maxValueCount) + "]";
  }
  return definition;
}

/* ------------------------------------------------------------------------
 * Groups and filters
 * ------------------------------------------------------------------------ */

/* One field of a filter: absent for "*" (any), else a pool copy. */
String filterField(const char *start, const char *end) {
  if (start < end && *start == '*') return NULL;
  return xPL_StrNDup(start, (int)(end - start));
}

void replaceFilterString(String *theField, String theValue) {
  xPL_FreeStr(*theField);
  *theField = theValue;
}

}  // namespace

/* ------------------------------------------------------------------------
 * Filter text form
 * ------------------------------------------------------------------------ */

/* A new pool string "type.vendor.device.instance.class.type", "*" for any;
 * the caller releases it. */
String formatFilter(xPL_ServiceFilterPtr theFilter) {
  int typeIndex = theFilter->matchOnMessageType;
  if (typeIndex < xPL_MESSAGE_ANY || typeIndex > xPL_MESSAGE_TRIGGER) typeIndex = xPL_MESSAGE_ANY;
  const char *fields[filterFieldCount] = {
      filterTypeNames[typeIndex],     theFilter->matchOnVendor,
      theFilter->matchOnDeviceID,     theFilter->matchOnInstanceID,
      theFilter->matchOnSchemaClass,  theFilter->matchOnSchemaType,
  };
  std::string text;
  for (int i = 0; i < filterFieldCount; i++) {
    if (i > 0) text += '.';
    text += fields[i] != NULL ? fields[i] : "*";
  }
  return xPL_StrDup(text.c_str());
}

/* Fills theFilter from its text form; FALSE (filter untouched) when the
 * text has fewer than five dots or an unknown message type.  The filter's
 * strings must be absent or pool strings; replaced ones are released. */
Bool parseFilter(const char *theText, xPL_ServiceFilterPtr theFilter) {
  if (theText == NULL || theFilter == NULL) return FALSE;

  const char *dots[filterFieldCount - 1];
  int dotCount = 0;
  for (const char *scan = theText; *scan != '\0' && dotCount < filterFieldCount - 1; scan++) {
    if (*scan == '.') dots[dotCount++] = scan;
  }
  if (dotCount < filterFieldCount - 1) return FALSE;

  xPL_MessageType messageType;
  if (theText[0] == '*') {
    messageType = xPL_MESSAGE_ANY;
  } else if (xPL_strncmpIgnoreCase(theText, filterTypeNames[xPL_MESSAGE_COMMAND],
                                   filterTypeLength) == 0) {
    messageType = xPL_MESSAGE_COMMAND;
  } else if (xPL_strncmpIgnoreCase(theText, filterTypeNames[xPL_MESSAGE_STATUS],
                                   filterTypeLength) == 0) {
    messageType = xPL_MESSAGE_STATUS;
  } else if (xPL_strncmpIgnoreCase(theText, filterTypeNames[xPL_MESSAGE_TRIGGER],
                                   filterTypeLength) == 0) {
    messageType = xPL_MESSAGE_TRIGGER;
  } else {
    return FALSE;
  }

  theFilter->matchOnMessageType = messageType;
  replaceFilterString(&theFilter->matchOnVendor, filterField(dots[0] + 1, dots[1]));
  replaceFilterString(&theFilter->matchOnDeviceID, filterField(dots[1] + 1, dots[2]));
  replaceFilterString(&theFilter->matchOnInstanceID, filterField(dots[2] + 1, dots[3]));
  replaceFilterString(&theFilter->matchOnSchemaClass, filterField(dots[3] + 1, dots[4]));
  const char *schemaType = dots[4] + 1;
  replaceFilterString(&theFilter->matchOnSchemaType,
                      filterField(schemaType, schemaType + strlen(schemaType)));
  return TRUE;
}

/* ------------------------------------------------------------------------
 * Items and values
 * ------------------------------------------------------------------------ */

Bool xPL_isConfigurableService(xPL_ServicePtr theService) {
  return theService != NULL && theService->configurableService;
}

Bool xPL_isServiceConfigured(xPL_ServicePtr theService) {
  return theService != NULL && theService->serviceConfigured;
}

xPL_ServiceConfigurablePtr xPL_findServiceConfigurable(xPL_ServicePtr theService,
                                                       const char *itemName) {
  int index = findItemIndex(theService, itemName);
  return index < 0 ? NULL : &theService->configList[index];
}

Bool xPL_addServiceConfigurable(xPL_ServicePtr theService, const char *itemName,
                                xPL_ConfigurableType itemType, int maxValueCount) {
  if (theService == NULL || itemName == NULL) return FALSE;
  if (theService->serviceEnabled || findItemIndex(theService, itemName) >= 0) return FALSE;

  xPL_ServiceConfigurablePtr theItem = &itemsOf(theService).append();
  theItem->itemName = xPL_StrNDup(itemName, maxItemNameLength);
  theItem->itemType = itemType;
  theItem->maxValueCount = maxValueCount <= 0 ? 1 : maxValueCount;
  xPL_Debug("CONFIG:: Added configurable [%s] (%s), TYPE=%d, MAX_VALUES=%d", theItem->itemName,
            itemName, (int)itemType, theItem->maxValueCount);
  return TRUE;
}

Bool xPL_removeServiceConfigurable(xPL_ServicePtr theService, const char *itemName) {
  if (theService == NULL || theService->serviceEnabled) return FALSE;
  int index = findItemIndex(theService, itemName);
  if (index < 0) return FALSE;
  releaseItem(&theService->configList[index]);
  itemsOf(theService).removeAt(index);
  return TRUE;
}

void xPL_removeAllServiceConfigurables(xPL_ServicePtr theService) {
  if (theService == NULL || theService->serviceEnabled) return;
  for (int i = 0; i < theService->configCount; i++) releaseItem(&theService->configList[i]);
  itemsOf(theService).clear();
}

void xPL_releaseServiceConfigurables(xPL_ServicePtr theService) {
  if (theService == NULL || theService->serviceEnabled) return;
  xPL_removeAllServiceConfigurables(theService);
  itemsOf(theService).release();
  xPL_FreeStr(theService->configFileName);
  theService->configFileName = NULL;
  xpl::internal::releaseConfigChangedListeners(theService);
}

void xPL_clearServiceConfigValues(xPL_ServicePtr theService, const char *itemName) {
  int index = findItemIndex(theService, itemName);
  if (index < 0 || valuesLocked(theService)) return;
  releaseItemValues(&theService->configList[index]);
}

void xPL_clearAllServiceConfigValues(xPL_ServicePtr theService) {
  if (theService == NULL || valuesLocked(theService)) return;
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
  if (index < 0 || valueIndex < 0) return NULL;
  xPL_ServiceConfigurablePtr theItem = &theService->configList[index];
  return valueIndex < theItem->valueCount ? theItem->valueList[valueIndex] : NULL;
}

String xPL_getServiceConfigValue(xPL_ServicePtr theService, const char *itemName) {
  return xPL_getServiceConfigValueAt(theService, itemName, 0);
}

/* ------------------------------------------------------------------------
 * Item definitions
 * ------------------------------------------------------------------------ */

/* Defines an item from "name" or "name[count]"; the library's own names
 * (and any leading part of them) are skipped as a success. */
Bool parseConfigDefinition(xPL_ServicePtr theService, const char *theDefinition,
                           xPL_ConfigurableType theType) {
  std::string itemName = theDefinition;
  int maxValues = 1;
  const char *bracket = strchr(theDefinition, '[');
  if (bracket != NULL) {
    itemName.assign(theDefinition, bracket - theDefinition);
    char *afterNumber = NULL;
    long count = strtol(bracket + 1, &afterNumber, 10);
    if (*afterNumber != ']') {
      xPL_Error("CONFIG:: Bad defintion for config=%s[%s -- item ignored", theDefinition,
                bracket + 1);
      return FALSE;
    }
    if (count > INT_MAX) count = INT_MAX;
    maxValues = count <= 0 ? 1 : (int)count;
  }

  for (const char *reserved : reservedItemNames) {
    if (xPL_strncmpIgnoreCase(itemName.c_str(), reserved, (int)itemName.size()) == 0) {
      return TRUE;
    }
  }

  if (itemName.size() > (size_t)maxItemNameLength) itemName.resize(maxItemNameLength);
  if (!xPL_addServiceConfigurable(theService, itemName.c_str(), theType, maxValues)) {
    xPL_Error("CONFIG:: Unable to define configurable %s -- item ignored", theDefinition);
    return FALSE;
  }
  xPL_Debug("CONFIG:: Added new configurable item %s", theDefinition);
  return TRUE;
}

/* ------------------------------------------------------------------------
 * Installing a configuration
 * ------------------------------------------------------------------------ */

namespace {

/* The item type a definition keyword stands for, or -1 for another name. */
int definitionTypeOf(const char *theName) {
  for (const ConfigKeyword &entry : configKeywords) {
    if (xPL_strcmpIgnoreCase(theName, entry.keyword) == 0) return entry.itemType;
  }
  return -1;
}

/* Minutes as heartbeat seconds; FALSE for text that is not a whole number
 * or minutes whose seconds do not fit an int. */
bool intervalSeconds(const char *theText, int *theSeconds) {
  int minutes = 0;
  if (!xPL_strToInt(theText, &minutes)) return false;
  /* Out-of-range texts read as INT_MAX or INT_MIN, which fail here too. */
  long long seconds = (long long)minutes * 60;
  if (seconds > INT_MAX || seconds < INT_MIN) return false;
  *theSeconds = (int)seconds;
  return true;
}

/* Adds the filter a text describes; a text that is not a filter adds none. */
void addFilterValue(xPL_ServicePtr theService, const char *theValue) {
  xPL_ServiceFilter theFilter{};
  if (!parseFilter(theValue, &theFilter)) return;
  xpl::internal::addServiceFilter(theService, theFilter);
  xPL_Debug("CONFIG:: Added new filter %s to service\n", theValue);
}

void addGroupValue(xPL_ServicePtr theService, const char *theValue) {
  xpl::internal::addServiceGroup(theService, theValue);
  xPL_Debug("CONFIG:: Added new group %s to service\n", theValue);
}

/* Installs one value of a list (filters or groups): the list's first mention
 * in a configuration empties it, and an empty value only does that. */
void installListValue(xPL_ServicePtr theService, const char *theValue, bool *listSeen,
                      void (*clearList)(xPL_ServicePtr),
                      void (*addValue)(xPL_ServicePtr, const char *)) {
  if (!*listSeen) {
    clearList(theService);
    *listSeen = true;
  }
  if (*theValue != '\0') addValue(theService, theValue);
}

}  // namespace

/* Installs the pairs as the service's whole configuration: item values are
 * replaced, groups and filters only when mentioned; definitions are taken
 * only when allowDefinitions (the file).  A configuration from the network
 * is saved, restarts a changed enabled service and is announced. */
void installNewConfig(xPL_ServicePtr theService, xPL_NameValueListPtr theConfig,
                      Bool allowDefinitions) {
  Bool serviceWasEnabled = theService->serviceEnabled;
  const char *newInstanceID = NULL;
  bool haveNewInterval = false;
  int newInterval = 0;
  bool restartNeeded = false;
  bool filterSeen = false;
  bool groupSeen = false;

  configurationBeingInstalled = TRUE;
  xPL_clearAllServiceConfigValues(theService);

  int pairCount = xPL_getNamedValueCount(theConfig);
  for (int i = 0; i < pairCount; i++) {
    xPL_NameValuePairPtr thePair = xPL_getNamedValuePairAt(theConfig, i);
    if (thePair == NULL || thePair->itemName == NULL) continue;
    const char *name = thePair->itemName;
    /* A binary value holds bytes, not text: no item takes it. */
    if (thePair->isBinary) {
      xPL_Debug("CONFIG:: Ignoring binary value for %s", name);
      continue;
    }
    const char *value = thePair->itemValue != NULL ? thePair->itemValue : "";

    int definitionType = definitionTypeOf(name);
    if (definitionType >= 0) {
      if (allowDefinitions) {
        parseConfigDefinition(theService, value, (xPL_ConfigurableType)definitionType);
      }
      continue;
    }

    if (xPL_strcmpIgnoreCase(name, "newconf") == 0) {
      const char *current = theService->serviceInstanceID;
      if (current == NULL || strcmp(value, current) != 0) {
        newInstanceID = value;
        xPL_Debug("CONFIG:: Got new instanceID %s for service -- will restart service\n", value);
        restartNeeded = true;
      }
      continue;
    }

    if (xPL_strcmpIgnoreCase(name, "interval") == 0) {
      int seconds;
      if (!intervalSeconds(value, &seconds)) continue;
      if (seconds == theService->heartbeatInterval) {
        haveNewInterval = false;
      } else {
        haveNewInterval = true;
        newInterval = seconds;
        xPL_Debug("CONFIG:: Got new interval of %d for service -- will restart service\n",
                  seconds);
        restartNeeded = true;
      }
      continue;
    }

    if (xPL_strcmpIgnoreCase(name, "filter") == 0) {
      installListValue(theService, value, &filterSeen, xPL_clearServiceFilters, addFilterValue);
      continue;
    }

    if (xPL_strcmpIgnoreCase(name, "group") == 0) {
      installListValue(theService, value, &groupSeen, xPL_clearServiceGroups, addGroupValue);
      continue;
    }

    xPL_Debug("CONFIG:: About to update configurable %s with value %s\n", name,
              thePair->itemValue != NULL ? thePair->itemValue : "");
    if (!xPL_addServiceConfigValue(theService, name, thePair->itemValue)) {
      xPL_Debug("CONFIG::    UNABLE to add/set that configuration value!\n");
    }
  }

  configurationBeingInstalled = FALSE;

  bool restart = serviceWasEnabled && restartNeeded;
  if (restart) {
    xPL_Debug("CONFIG:: Stopping service to restart later for new instance/interval change\n");
    xPL_setServiceEnabled(theService, FALSE);
  }

  if (newInstanceID != NULL) {
    /* Stored directly: a change of letter case alone is a new identity here. */
    xPL_FreeStr(theService->serviceInstanceID);
    theService->serviceInstanceID = xPL_StrDup(newInstanceID);
  }
  if (haveNewInterval) theService->heartbeatInterval = newInterval;

  theService->serviceConfigured = TRUE;

  if (!allowDefinitions) xPL_saveServiceConfig(theService);

  if (restart) xPL_setServiceEnabled(theService, TRUE);

  xPL_Debug("CONFIG:: Restarted service with new parameters");

  if (serviceWasEnabled && !allowDefinitions) xPL_dispatchServiceConfigChangedEvent(theService);
}

/* ------------------------------------------------------------------------
 * The configuration protocol
 * ------------------------------------------------------------------------ */

namespace {

/* Broadcasts config.list: the library's four items, then every item with
 * its keyword and, for multi-valued ones, "[most values]". */
void sendServiceConfigList(xPL_ServicePtr theService) {
  xPL_MessagePtr theMessage = xPL_createBroadcastMessage(theService, xPL_MESSAGE_STATUS);
  if (theMessage == NULL) return;
  xPL_setSchema(theMessage, "config", "list");
  for (const FixedDefinition &fixed : fixedDefinitions) {
    xPL_addMessageNamedValue(theMessage, fixed.keyword, fixed.definition);
  }
  for (int i = 0; i < theService->configCount; i++) {
    const xPL_ServiceConfigurable *theItem = &theService->configList[i];
    int typeIndex = theItem->itemType;
    if (typeIndex < 0 || typeIndex >= configKeywordCount) typeIndex = xPL_CONFIG_OPTIONAL;
    xPL_addMessageNamedValue(theMessage, configKeywords[typeIndex].keyword,
                             itemDefinition(theItem).c_str());
  }
  xPL_sendMessage(theMessage);
  xPL_releaseMessage(theMessage);
}

/* Broadcasts config.current: instance ID, interval minutes, groups, filters,
 * then every item's values (a valueless item once, without value). */
void sendServiceCurrentConfig(xPL_ServicePtr theService) {
  xPL_MessagePtr theMessage = xPL_createBroadcastMessage(theService, xPL_MESSAGE_STATUS);
  if (theMessage == NULL) return;
  xPL_setSchema(theMessage, "config", "current");
  xPL_addMessageNamedValue(theMessage, "newconf", theService->serviceInstanceID);
  xPL_addMessageNamedValue(theMessage, "interval", xPL_intToStr(theService->heartbeatInterval / 60));

  if (theService->groupCount == 0) xPL_addMessageNamedValue(theMessage, "group", NULL);
  for (int i = 0; i < theService->groupCount; i++) {
    xPL_addMessageNamedValue(theMessage, "group", theService->groupList[i]);
  }

  if (theService->filterCount == 0) xPL_addMessageNamedValue(theMessage, "filter", NULL);
  for (int i = 0; i < theService->filterCount; i++) {
    String filterText = formatFilter(&theService->messageFilterList[i]);
    xPL_addMessageNamedValue(theMessage, "filter", filterText);
    xPL_FreeStr(filterText);
  }

  for (int i = 0; i < theService->configCount; i++) {
    const xPL_ServiceConfigurable *theItem = &theService->configList[i];
    bool anyValue = false;
    for (int v = 0; v < theItem->valueCount; v++) {
      if (theItem->valueList[v] == NULL) continue;
      xPL_addMessageNamedValue(theMessage, theItem->itemName, theItem->valueList[v]);
      anyValue = true;
    }
    if (!anyValue) xPL_addMessageNamedValue(theMessage, theItem->itemName, NULL);
  }
  xPL_sendMessage(theMessage);
  xPL_releaseMessage(theMessage);
}

/* The service listener for schema class "config": answers list and current
 * requests and installs a config.response. */
void configHandler(xPL_ServicePtr theService, xPL_MessagePtr theMessage, xPL_ObjectPtr userValue) {
  (void)userValue;
  if (xPL_getMessageType(theMessage) != xPL_MESSAGE_COMMAND) return;
  const char *schemaType = xPL_getSchemaType(theMessage);
  if (schemaType == NULL) return;
  const char *command = xPL_getMessageNamedValue(theMessage, "command");
  bool isRequest = command != NULL && xPL_strcmpIgnoreCase(command, "request") == 0;

  if (xPL_strcmpIgnoreCase(schemaType, "list") == 0) {
    if (isRequest) sendServiceConfigList(theService);
  } else if (xPL_strcmpIgnoreCase(schemaType, "current") == 0) {
    if (isRequest) sendServiceCurrentConfig(theService);
  } else if (xPL_strcmpIgnoreCase(schemaType, "response") == 0) {
    installNewConfig(theService, xPL_getMessageBody(theMessage), FALSE);
  }
}

}  // namespace

xPL_ServicePtr xPL_createConfigurableService(const char *theVendor, const char *theDeviceID,
                                             const char *theConfigFile) {
  xPL_ServicePtr theService = xPL_createService(theVendor, theDeviceID, NULL);
  if (theService == NULL) return NULL;
  theService->configurableService = TRUE;
  theService->serviceConfigured = FALSE;
  if (theConfigFile != NULL) xPL_setServiceConfigFile(theService, theConfigFile);
  xPL_addServiceListener(theService, configHandler, xPL_MESSAGE_ANY, "config", NULL, NULL);
  if (theService->configFileName != NULL) xPL_loadServiceConfig(theService);
  return theService;
}

/* ------------------------------------------------------------------------
 * The configuration file
 * ------------------------------------------------------------------------ */

namespace {

/* A file opened with stdio, closed with the object. */
struct ConfigFile {
  FILE *stream = NULL;
  ~ConfigFile() {
    if (stream != NULL) fclose(stream);
  }
};

/* One line, its line feed removed; FALSE at the end of the file.  Lines of
 * any length are read whole. */
bool readLine(FILE *theStream, std::string *theLine) {
  theLine->clear();
  int c;
  while ((c = getc(theStream)) != EOF) {
    if (c == '\n') return true;
    theLine->push_back((char)c);
  }
  return !theLine->empty();
}

bool holdsLineFeed(const char *theText) {
  return theText != NULL && strchr(theText, '\n') != NULL;
}

/* The file that a save replaces: the path itself, or the file a symbolic
 * link at the path points to (the link is kept). */
std::string saveTarget(const char *thePath) {
  struct stat linkInfo;
  if (lstat(thePath, &linkInfo) == 0 && S_ISLNK(linkInfo.st_mode)) {
    char *resolved = realpath(thePath, NULL);
    if (resolved != NULL) {
      std::string target = resolved;
      free(resolved);
      return target;
    }
  }
  return thePath;
}

std::string directoryOf(const std::string &thePath) {
  size_t slash = thePath.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return thePath.substr(0, slash);
}

/* Creates the temporary file afresh (a stale one from a crash is removed;
 * a symbolic link there is never followed).  -1 with errno on failure. */
int createTemporary(const std::string &thePath) {
  int fd = open(thePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 && errno == EEXIST && unlink(thePath.c_str()) == 0) {
    fd = open(thePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  }
  return fd;
}

/* A file that existed keeps its permissions (and, when allowed, owner). */
void copyPermissions(int fd, const std::string &theTarget) {
  struct stat targetInfo;
  if (stat(theTarget.c_str(), &targetInfo) != 0 || !S_ISREG(targetInfo.st_mode)) return;
  if (fchown(fd, targetInfo.st_uid, targetInfo.st_gid) != 0) {
    /* Not permitted: the file changes owner to us, as a fresh one would. */
  }
  if (fchmod(fd, targetInfo.st_mode & 07777) != 0) {
    /* The umask-based mode of a fresh file stays. */
  }
}

/* Writes every line of the configuration; false (errno set) on an error. */
bool writeConfig(FILE *out, xPL_ServicePtr theService) {
  bool ok = fprintf(out, "[%s-%s]\n", theService->serviceVendor, theService->serviceDeviceID) >= 0;
  for (const FixedDefinition &fixed : fixedDefinitions) {
    ok = ok && fprintf(out, "%s=%s\n", fixed.keyword, fixed.definition) >= 0;
  }

  /* Names holding "=" or a line feed could not be read back as written. */
  auto itemSavable = [](const xPL_ServiceConfigurable *theItem) {
    return !holdsLineFeed(theItem->itemName) && strchr(theItem->itemName, '=') == NULL;
  };

  for (int i = 0; ok && i < theService->configCount; i++) {
    const xPL_ServiceConfigurable *theItem = &theService->configList[i];
    if (!itemSavable(theItem)) {
      xPL_Debug("CONFIG:: Item name %s cannot be written to a line -- item not saved",
                theItem->itemName);
      continue;
    }
    int typeIndex = theItem->itemType;
    if (typeIndex < 0 || typeIndex >= configKeywordCount) typeIndex = xPL_CONFIG_OPTIONAL;
    ok = fprintf(out, "%s=%s\n", configKeywords[typeIndex].keyword,
                 itemDefinition(theItem).c_str()) >= 0;
  }

  if (holdsLineFeed(theService->serviceInstanceID)) {
    xPL_Debug("CONFIG:: Instance ID holds a line feed -- not saved");
  } else {
    ok = ok && fprintf(out, "newconf=%s\n", theService->serviceInstanceID) >= 0;
  }
  ok = ok && fprintf(out, "interval=%d\n", theService->heartbeatInterval / 60) >= 0;

  if (theService->filterCount == 0) ok = ok && fputs("filter=\n", out) >= 0;
  for (int i = 0; ok && i < theService->filterCount; i++) {
    String filterText = formatFilter(&theService->messageFilterList[i]);
    ok = fprintf(out, "filter=%s\n", filterText) >= 0;
    xPL_FreeStr(filterText);
  }

  if (theService->groupCount == 0) ok = ok && fputs("group=\n", out) >= 0;
  for (int i = 0; ok && i < theService->groupCount; i++) {
    if (holdsLineFeed(theService->groupList[i])) continue;
    ok = fprintf(out, "group=%s\n", theService->groupList[i]) >= 0;
  }

  for (int i = 0; ok && i < theService->configCount; i++) {
    const xPL_ServiceConfigurable *theItem = &theService->configList[i];
    if (!itemSavable(theItem)) continue;
    for (int v = 0; ok && v < theItem->valueCount; v++) {
      const char *value = theItem->valueList[v] != NULL ? theItem->valueList[v] : "";
      if (holdsLineFeed(value)) {
        xPL_Debug("CONFIG:: Value %d of %s holds a line feed -- not saved", v, theItem->itemName);
        continue;
      }
      ok = fprintf(out, "%s=%s\n", theItem->itemName, value) >= 0;
    }
  }
  return ok;
}

/* Always reported, whatever the debug setting: the configuration stays in
 * force in memory, but the operator must learn that it will not survive a
 * restart. */
Bool saveFailed(xPL_ServicePtr theService, int theError) {
  xPL_Error("CONFIG:: File %s could not be opened/created -- %s (%d)", theService->configFileName,
            strerror(theError), theError);
  return FALSE;
}

}  // namespace

void xPL_setServiceConfigFile(xPL_ServicePtr theService, const char *theConfigFile) {
  if (theService == NULL || theService->serviceEnabled) return;
  if (theService->configFileName != NULL && theConfigFile != NULL &&
      strcmp(theService->configFileName, theConfigFile) == 0) {
    return;
  }
  xPL_FreeStr(theService->configFileName);
  theService->configFileName = xPL_StrDup(theConfigFile);
}

String xPL_getServiceConfigFile(xPL_ServicePtr theService) {
  return theService != NULL ? theService->configFileName : NULL;
}

Bool xPL_loadServiceConfig(xPL_ServicePtr theService) {
  if (theService == NULL || theService->serviceEnabled || theService->configFileName == NULL ||
      theService->serviceConfigured) {
    return FALSE;
  }
  const char *path = theService->configFileName;

  ConfigFile file;
  file.stream = fopen(path, "re");
  if (file.stream == NULL) {
    xPL_Debug("CONFIG:: File %s does not exist -- no config loaded", path);
    return TRUE;
  }

  std::string header;
  if (!readLine(file.stream, &header)) {
    xPL_Error("CONFIG:: Error reading config file %s -- config not loaded", path);
    return FALSE;
  }
  if (header.size() <= 4) {
    xPL_Error("CONFIG:: Config file header too short -- config not loaded");
    return FALSE;
  }
  xPL_Debug("CONFIG:: Read header %s from config file, about to parse", header.c_str());

  size_t dash = header.find('-', 1);
  if (dash == std::string::npos) {
    xPL_Error(
        "CONFIG:: Unable to parse configuration file header (missing dash) for %s -- config not "
        "loaded",
        path);
    return FALSE;
  }
  std::string vendor = header.substr(1, dash - 1);
  std::string deviceID = header.substr(dash + 1);
  if (deviceID.empty() || deviceID.back() != ']') {
    xPL_Error(
        "CONFIG:: Unable to parse configuration file header (missing end bracket) for %s -- "
        "config not loaded",
        path);
    return FALSE;
  }
  deviceID.pop_back();
  if (xPL_strcmpIgnoreCase(vendor.c_str(), theService->serviceVendor) != 0 ||
      xPL_strcmpIgnoreCase(deviceID.c_str(), theService->serviceDeviceID) != 0) {
    xPL_Error("CONFIG:: Config file header does not match this device -- config not loaded");
    return FALSE;
  }

  xPL_NameValueListPtr theConfig = xPL_newNamedValueList();
  std::string line;
  while (readLine(file.stream, &line)) {
    size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    line[equals] = '\0';
    xPL_addNamedValue(theConfig, line.c_str(), line.c_str() + equals + 1);
  }
  /* A file that could not be read to its end would install only a part. */
  if (ferror(file.stream)) {
    xPL_Error("CONFIG:: Error reading config file %s -- config not loaded", path);
    xPL_freeNamedValueList(theConfig);
    return FALSE;
  }
  fclose(file.stream);
  file.stream = NULL;

  if (xPL_getNamedValueCount(theConfig) > 0) installNewConfig(theService, theConfig, TRUE);
  xPL_freeNamedValueList(theConfig);
  xPL_Debug("CONFIG:: Config file successfully read and installed");
  return TRUE;
}

Bool xPL_saveServiceConfig(xPL_ServicePtr theService) {
  if (theService == NULL || theService->configFileName == NULL) return FALSE;

  std::string target = saveTarget(theService->configFileName);
  std::string temporary = target + ".tmp";

  int fd = createTemporary(temporary);
  if (fd < 0) return saveFailed(theService, errno);
  copyPermissions(fd, target);

  FILE *out = fdopen(fd, "w");
  if (out == NULL) {
    int error = errno;
    close(fd);
    unlink(temporary.c_str());
    return saveFailed(theService, error);
  }

  errno = 0;
  bool written = writeConfig(out, theService) && fflush(out) == 0 && fsync(fileno(out)) == 0;
  int error = errno;
  if (fclose(out) != 0 && written) {
    written = false;
    error = errno;
  }
  if (!written) {
    unlink(temporary.c_str());
    return saveFailed(theService, error != 0 ? error : EIO);
  }

  if (rename(temporary.c_str(), target.c_str()) != 0) {
    error = errno;
    unlink(temporary.c_str());
    return saveFailed(theService, error);
  }

  /* Make the rename itself durable. */
  int directory = open(directoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    fsync(directory);
    close(directory);
  }
  return TRUE;
}
