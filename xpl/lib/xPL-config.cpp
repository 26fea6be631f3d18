// xPL-config.cpp -- configurable services and the configuration protocol
// (config.list, config.current, config.response): item definitions, the
// filter text form, the installation of a configuration, and what the
// configuration file holds (its lines are kept by xPL-configfile).
//
// Besides the application's own items (xPL-configitems), every configurable
// service has four items that the library interprets itself and that never
// stand in the item list: "newconf" (the instance ID), "interval" (heartbeat
// minutes), "group" and "filter".  One routine, installNewConfig, installs a
// configuration from the network and from the file alike; only the file may
// define items.  The file is rewritten after every configuration from the
// network.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "xPL_priv.h"

using xpl::internal::formatFilter;
using xpl::internal::installNewConfig;
using xpl::internal::parseConfigDefinition;
using xpl::internal::parseFilter;

namespace {

// ---------------------------------------------------------------------------
// Tables
// ---------------------------------------------------------------------------

// The keyword that stands for each kind of item, indexed by its enumerator.
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

// The library's own items, announced first in the item list and the file.
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

// Names an item definition may not take, nor any leading part of them.
constexpr const char *reservedItemNames[] = {"newconf", "interval", "filter", "group"};

// Message type field of the filter text form, indexed by message type.
constexpr const char *filterTypeNames[] = {"*", "xpl-cmnd", "xpl-stat", "xpl-trig"};
static_assert(sizeof(filterTypeNames) / sizeof(filterTypeNames[0]) == xPL_MESSAGE_TRIGGER + 1,
              "one filter type name per message type");
constexpr int filterTypeLength = 8;  // "xpl-cmnd" and its siblings

constexpr int filterFieldCount = 6;

// The definition text of an item: its name, with "[n]" when it may hold
// more than one value.
std::string itemDefinition(const xPL_ServiceConfigurable *theItem) {
  std::string definition = theItem->itemName;
  if (theItem->maxValueCount != 1) {
    definition += "[" + std::to_string(theItem->maxValueCount) + "]";
  }
  return definition;
}

// ---------------------------------------------------------------------------
// Groups and filters
// ---------------------------------------------------------------------------

// One field of a filter: absent for "*" (any), else a pool copy.
String filterField(const char *start, const char *end) {
  if (start < end && *start == '*') return nullptr;
  return xPL_StrNDup(start, static_cast<int>(end - start));
}

void replaceFilterString(String *theField, String theValue) {
  xPL_FreeStr(*theField);
  *theField = theValue;
}

}  // namespace

// ---------------------------------------------------------------------------
// Filter text form
// ---------------------------------------------------------------------------

// A new pool string "type.vendor.device.instance.class.type", "*" for any;
// the caller releases it.
String xpl::internal::formatFilter(xPL_ServiceFilterPtr theFilter) {
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
    text += fields[i] != nullptr ? fields[i] : "*";
  }
  return xPL_StrDup(text.c_str());
}

// Fills theFilter from its text form; FALSE (filter untouched) when the
// text has fewer than five dots or an unknown message type.  The filter's
// strings must be absent or pool strings; replaced ones are released.
Bool xpl::internal::parseFilter(const char *theText, xPL_ServiceFilterPtr theFilter) {
  if (theText == nullptr || theFilter == nullptr) return FALSE;

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

// ---------------------------------------------------------------------------
// Item definitions
// ---------------------------------------------------------------------------

// Defines an item from "name" or "name[count]"; the library's own names
// (and any leading part of them) are skipped as a success.
Bool xpl::internal::parseConfigDefinition(xPL_ServicePtr theService, const char *theDefinition,
                                          xPL_ConfigurableType theType) {
  std::string itemName = theDefinition;
  int maxValues = 1;
  const char *bracket = strchr(theDefinition, '[');
  if (bracket != nullptr) {
    itemName.assign(theDefinition, bracket - theDefinition);
    char *afterNumber = nullptr;
    long count = strtol(bracket + 1, &afterNumber, 10);
    if (*afterNumber != ']') {
      xPL_Error("CONFIG:: Bad defintion for config=%s[%s -- item ignored", theDefinition,
                bracket + 1);
      return FALSE;
    }
    if (count > INT_MAX) count = INT_MAX;
    maxValues = count <= 0 ? 1 : static_cast<int>(count);
  }

  for (const char *reserved : reservedItemNames) {
    if (xPL_strncmpIgnoreCase(itemName.c_str(), reserved, static_cast<int>(itemName.size())) == 0) {
      return TRUE;
    }
  }

  if (itemName.size() > static_cast<size_t>(maxItemNameLength)) itemName.resize(maxItemNameLength);
  if (!xPL_addServiceConfigurable(theService, itemName.c_str(), theType, maxValues)) {
    xPL_Error("CONFIG:: Unable to define configurable %s -- item ignored", theDefinition);
    return FALSE;
  }
  xPL_Debug("CONFIG:: Added new configurable item %s", theDefinition);
  return TRUE;
}

// ---------------------------------------------------------------------------
// Installing a configuration
// ---------------------------------------------------------------------------

namespace {

// The item type a definition keyword stands for, or -1 for another name.
int definitionTypeOf(const char *theName) {
  for (const ConfigKeyword &entry : configKeywords) {
    if (xPL_strcmpIgnoreCase(theName, entry.keyword) == 0) return entry.itemType;
  }
  return -1;
}

// Minutes as heartbeat seconds; FALSE for text that is not a whole number
// or minutes whose seconds do not fit an int.
bool intervalSeconds(const char *theText, int *theSeconds) {
  int minutes = 0;
  if (!xPL_strToInt(theText, &minutes)) return false;
  // Out-of-range texts read as INT_MAX or INT_MIN, which fail here too.
  const long long seconds = static_cast<long long>(minutes) * 60;
  if (seconds > INT_MAX || seconds < INT_MIN) return false;
  *theSeconds = static_cast<int>(seconds);
  return true;
}

// Adds the filter a text describes; a text that is not a filter adds none.
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

// Installs one value of a list (filters or groups): the list's first mention
// in a configuration empties it, and an empty value only does that.
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

// Installs the pairs as the service's whole configuration: item values are
// replaced, groups and filters only when mentioned; definitions are taken
// only when allowDefinitions (the file).  A configuration from the network
// is saved, restarts a changed enabled service and is announced.
void xpl::internal::installNewConfig(xPL_ServicePtr theService, xPL_NameValueListPtr theConfig,
                                     Bool allowDefinitions) {
  Bool serviceWasEnabled = theService->serviceEnabled;
  const char *newInstanceID = nullptr;
  bool haveNewInterval = false;
  int newInterval = 0;
  bool restartNeeded = false;
  bool filterSeen = false;
  bool groupSeen = false;

  xpl::internal::setConfigurationBeingInstalled(true);
  xPL_clearAllServiceConfigValues(theService);

  int pairCount = xPL_getNamedValueCount(theConfig);
  for (int i = 0; i < pairCount; i++) {
    xPL_NameValuePairPtr thePair = xPL_getNamedValuePairAt(theConfig, i);
    if (thePair == nullptr || thePair->itemName == nullptr) continue;
    const char *name = thePair->itemName;
    // A binary value holds bytes, not text: no item takes it.
    if (thePair->isBinary) {
      xPL_Debug("CONFIG:: Ignoring binary value for %s", name);
      continue;
    }
    const char *value = thePair->itemValue != nullptr ? thePair->itemValue : "";

    int definitionType = definitionTypeOf(name);
    if (definitionType >= 0) {
      if (allowDefinitions) {
        parseConfigDefinition(theService, value, static_cast<xPL_ConfigurableType>(definitionType));
      }
      continue;
    }

    if (xPL_strcmpIgnoreCase(name, "newconf") == 0) {
      const char *current = theService->serviceInstanceID;
      if (current == nullptr || strcmp(value, current) != 0) {
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
              thePair->itemValue != nullptr ? thePair->itemValue : "");
    if (!xPL_addServiceConfigValue(theService, name, thePair->itemValue)) {
      xPL_Debug("CONFIG::    UNABLE to add/set that configuration value!\n");
    }
  }

  xpl::internal::setConfigurationBeingInstalled(false);

  bool restart = serviceWasEnabled && restartNeeded;
  if (restart) {
    xPL_Debug("CONFIG:: Stopping service to restart later for new instance/interval change\n");
    xPL_setServiceEnabled(theService, FALSE);
  }

  if (newInstanceID != nullptr) {
    // Stored directly: a change of letter case alone is a new identity here.
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

// ---------------------------------------------------------------------------
// The configuration protocol
// ---------------------------------------------------------------------------

namespace {

// Broadcasts config.list: the library's four items, then every item with
// its keyword and, for multi-valued ones, "[most values]".
void sendServiceConfigList(xPL_ServicePtr theService) {
  xPL_MessagePtr theMessage = xPL_createBroadcastMessage(theService, xPL_MESSAGE_STATUS);
  if (theMessage == nullptr) return;
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

// Broadcasts config.current: instance ID, interval minutes, groups, filters,
// then every item's values (a valueless item once, without value).
void sendServiceCurrentConfig(xPL_ServicePtr theService) {
  xPL_MessagePtr theMessage = xPL_createBroadcastMessage(theService, xPL_MESSAGE_STATUS);
  if (theMessage == nullptr) return;
  xPL_setSchema(theMessage, "config", "current");
  xPL_addMessageNamedValue(theMessage, "newconf", theService->serviceInstanceID);
  xPL_addMessageNamedValue(theMessage, "interval",
                           xPL_intToStr(theService->heartbeatInterval / 60));

  if (theService->groupCount == 0) xPL_addMessageNamedValue(theMessage, "group", nullptr);
  for (int i = 0; i < theService->groupCount; i++) {
    xPL_addMessageNamedValue(theMessage, "group", theService->groupList[i]);
  }

  if (theService->filterCount == 0) xPL_addMessageNamedValue(theMessage, "filter", nullptr);
  for (int i = 0; i < theService->filterCount; i++) {
    String filterText = formatFilter(&theService->messageFilterList[i]);
    xPL_addMessageNamedValue(theMessage, "filter", filterText);
    xPL_FreeStr(filterText);
  }

  for (int i = 0; i < theService->configCount; i++) {
    const xPL_ServiceConfigurable *theItem = &theService->configList[i];
    bool anyValue = false;
    for (int v = 0; v < theItem->valueCount; v++) {
      if (theItem->valueList[v] == nullptr) continue;
      xPL_addMessageNamedValue(theMessage, theItem->itemName, theItem->valueList[v]);
      anyValue = true;
    }
    if (!anyValue) xPL_addMessageNamedValue(theMessage, theItem->itemName, nullptr);
  }
  xPL_sendMessage(theMessage);
  xPL_releaseMessage(theMessage);
}

// The service listener for schema class "config": answers list and current
// requests and installs a config.response.
void configHandler(xPL_ServicePtr theService, xPL_MessagePtr theMessage, xPL_ObjectPtr) {
  if (xPL_getMessageType(theMessage) != xPL_MESSAGE_COMMAND) return;
  const char *schemaType = xPL_getSchemaType(theMessage);
  if (schemaType == nullptr) return;
  const char *command = xPL_getMessageNamedValue(theMessage, "command");
  bool isRequest = command != nullptr && xPL_strcmpIgnoreCase(command, "request") == 0;

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
  xPL_ServicePtr theService = xPL_createService(theVendor, theDeviceID, nullptr);
  if (theService == nullptr) return nullptr;
  theService->configurableService = TRUE;
  theService->serviceConfigured = FALSE;
  if (theConfigFile != nullptr) xPL_setServiceConfigFile(theService, theConfigFile);
  xPL_addServiceListener(theService, configHandler, xPL_MESSAGE_ANY, "config", nullptr, nullptr);
  if (theService->configFileName != nullptr) xPL_loadServiceConfig(theService);
  return theService;
}

// ---------------------------------------------------------------------------
// The configuration file
// ---------------------------------------------------------------------------

namespace {

bool holdsLineFeed(const char *theText) {
  return theText != nullptr && strchr(theText, '\n') != nullptr;
}

// Names holding "=" or a line feed could not be read back as written.
bool itemSavable(const xPL_ServiceConfigurable *theItem) {
  return !holdsLineFeed(theItem->itemName) && strchr(theItem->itemName, '=') == nullptr;
}

// The lines of the file after its header, in their order: the library's
// definitions, the item definitions, instance ID, interval, filters, groups
// and the item values.  Texts that would break a line are left out.
xPL_NameValueListPtr configLines(xPL_ServicePtr theService) {
  xPL_NameValueListPtr lines = xPL_newNamedValueList();
  for (const FixedDefinition &fixed : fixedDefinitions) {
    xPL_addNamedValue(lines, fixed.keyword, fixed.definition);
  }

  for (int i = 0; i < theService->configCount; i++) {
    const xPL_ServiceConfigurable *theItem = &theService->configList[i];
    if (!itemSavable(theItem)) {
      xPL_Debug("CONFIG:: Item name %s cannot be written to a line -- item not saved",
                theItem->itemName);
      continue;
    }
    int typeIndex = theItem->itemType;
    if (typeIndex < 0 || typeIndex >= configKeywordCount) typeIndex = xPL_CONFIG_OPTIONAL;
    xPL_addNamedValue(lines, configKeywords[typeIndex].keyword, itemDefinition(theItem).c_str());
  }

  if (holdsLineFeed(theService->serviceInstanceID)) {
    xPL_Debug("CONFIG:: Instance ID holds a line feed -- not saved");
  } else {
    xPL_addNamedValue(lines, "newconf", theService->serviceInstanceID);
  }
  xPL_addNamedValue(lines, "interval", xPL_intToStr(theService->heartbeatInterval / 60));

  if (theService->filterCount == 0) xPL_addNamedValue(lines, "filter", "");
  for (int i = 0; i < theService->filterCount; i++) {
    String filterText = formatFilter(&theService->messageFilterList[i]);
    xPL_addNamedValue(lines, "filter", filterText);
    xPL_FreeStr(filterText);
  }

  if (theService->groupCount == 0) xPL_addNamedValue(lines, "group", "");
  for (int i = 0; i < theService->groupCount; i++) {
    if (holdsLineFeed(theService->groupList[i])) continue;
    xPL_addNamedValue(lines, "group", theService->groupList[i]);
  }

  for (int i = 0; i < theService->configCount; i++) {
    const xPL_ServiceConfigurable *theItem = &theService->configList[i];
    if (!itemSavable(theItem)) continue;
    for (int v = 0; v < theItem->valueCount; v++) {
      const char *value = theItem->valueList[v] != nullptr ? theItem->valueList[v] : "";
      if (holdsLineFeed(value)) {
        xPL_Debug("CONFIG:: Value %d of %s holds a line feed -- not saved", v, theItem->itemName);
        continue;
      }
      xPL_addNamedValue(lines, theItem->itemName, value);
    }
  }
  return lines;
}

}  // namespace

void xPL_setServiceConfigFile(xPL_ServicePtr theService, const char *theConfigFile) {
  if (theService == nullptr || theService->serviceEnabled) return;
  if (theService->configFileName != nullptr && theConfigFile != nullptr &&
      strcmp(theService->configFileName, theConfigFile) == 0) {
    return;
  }
  xPL_FreeStr(theService->configFileName);
  theService->configFileName = xPL_StrDup(theConfigFile);
}

String xPL_getServiceConfigFile(xPL_ServicePtr theService) {
  return theService != nullptr ? theService->configFileName : nullptr;
}

Bool xPL_loadServiceConfig(xPL_ServicePtr theService) {
  if (theService == nullptr || theService->serviceEnabled ||
      theService->configFileName == nullptr || theService->serviceConfigured) {
    return FALSE;
  }
  xPL_NameValueListPtr theConfig = nullptr;
  if (!xpl::internal::readConfigFile(theService->configFileName, theService->serviceVendor,
                                     theService->serviceDeviceID, &theConfig)) {
    return FALSE;
  }
  if (theConfig == nullptr) return TRUE;  // no file: nothing to load

  if (xPL_getNamedValueCount(theConfig) > 0) installNewConfig(theService, theConfig, TRUE);
  xPL_freeNamedValueList(theConfig);
  xPL_Debug("CONFIG:: Config file successfully read and installed");
  return TRUE;
}

Bool xPL_saveServiceConfig(xPL_ServicePtr theService) {
  if (theService == nullptr || theService->configFileName == nullptr) return FALSE;
  xPL_NameValueListPtr lines = configLines(theService);
  bool saved = xpl::internal::writeConfigFile(theService->configFileName, theService->serviceVendor,
                                              theService->serviceDeviceID, lines);
  xPL_freeNamedValueList(lines);
  return saved ? TRUE : FALSE;
}
