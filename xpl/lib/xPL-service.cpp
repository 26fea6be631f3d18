// xPL-service.cpp -- services: identity, heartbeats, groups and filters, and
// the routing of every inbound message to the services it concerns.
//
// All services stand in one process-wide table in creation order.  A service
// announces itself with heartbeats: one at enabling, then on the timely
// schedule driven by the event loop's idle work, a goodbye at disabling, and
// a reply to broadcast heartbeat requests, sent by a timer of the event loop
// after a random delay.
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "xPL_priv.h"
#include "xPL_table.h"

namespace {

// Table growth steps.
constexpr int SERVICE_GROW_BY = 8;
constexpr int GROUP_GROW_BY = 4;
constexpr int FILTER_GROW_BY = 4;

constexpr int DEFAULT_HEARTBEAT_INTERVAL = 300;
constexpr int MAX_HEARTBEAT_INTERVAL = 172800;  // 48 hours

// The heartbeat schedule is looked at in the event loop's idle work every
// so many seconds, and at every idle work until the hub is confirmed.
constexpr time_t HEARTBEAT_CHECK_SECONDS = 5;

// Until the hub echoes a heartbeat back, one goes out whenever more than
// this many seconds have passed since the last successful one.
constexpr int UNCONFIRMED_HUB_GAP = 2;
// An unconfigured configurable service announces itself every minute.
constexpr int CONFIG_MODE_PERIOD = 60;

// The reply to a heartbeat request waits a random 500..2500 ms, so that the
// devices of a network do not all answer in the same instant.
constexpr int REPLY_DELAY_MIN_MS = 500;
constexpr double REPLY_DELAY_SPAN_MS = 2000.0;
constexpr double RANDOM_MAX = 2147483647.0;

enum HeartbeatType {
  HBEAT_NORMAL = 0,
  HBEAT_CONFIG = 1,
  HBEAT_NORMAL_END = 2,
  HBEAT_CONFIG_END = 3,
};

struct HeartbeatKind {
  HeartbeatType type;
  const char *schemaClass;
  const char *schemaType;
  bool announcesOneMinute;  // config kinds say "interval=1" whatever the interval
};

constexpr HeartbeatKind heartbeatKinds[] = {
    {HBEAT_NORMAL, "hbeat", "app", false},
    {HBEAT_CONFIG, "config", "app", true},
    {HBEAT_NORMAL_END, "hbeat", "end", false},
    {HBEAT_CONFIG_END, "config", "end", true},
};

constexpr bool heartbeatKindsIndexedByType() {
  for (int i = 0; i < static_cast<int>(sizeof heartbeatKinds / sizeof heartbeatKinds[0]); i++) {
    if (heartbeatKinds[i].type != i) return false;
  }
  return true;
}
static_assert(sizeof heartbeatKinds / sizeof heartbeatKinds[0] == 4,
              "one entry per HeartbeatType");
static_assert(heartbeatKindsIndexedByType(), "heartbeatKinds[t].type must be t");

xPL_ServicePtr *serviceList = nullptr;
int serviceCount = 0;
int serviceAllocCount = 0;

// Every service in creation order.  Inbound messages walk it, and a service
// listener may release services meanwhile: a released one stays in place,
// marked, until the walk ends.
using ServiceTable =
    xpl::internal::Table<xPL_ServicePtr, xpl::internal::NullPointer<xPL_ServicePtr>>;

ServiceTable services() { return {serviceList, serviceCount, serviceAllocCount, SERVICE_GROW_BY}; }

xpl::internal::Table<String> groupsOf(xPL_ServicePtr theService) {
  return {theService->groupList, theService->groupCount, theService->groupAllocCount,
          GROUP_GROW_BY};
}

xpl::internal::Table<xPL_ServiceFilter> filtersOf(xPL_ServicePtr theService) {
  return {theService->messageFilterList, theService->filterCount, theService->filterAllocCount,
          FILTER_GROW_BY};
}

// When the idle work last looked at the heartbeat schedule; -1 = never.
time_t heartbeatCheckLastDoneAt = -1;

// Configuration mode: a configurable service still waiting for its first
// configuration.
bool isInConfigMode(xPL_ServicePtr theService) {
  return theService->configurableService && !theService->serviceConfigured;
}

// Equal ignoring case; an absent text equals nothing.
bool sameIgnoringCase(const char *textA, const char *textB) {
  return textA != nullptr && textB != nullptr && xPL_strcmpIgnoreCase(textA, textB) == 0;
}

// Equal byte for byte; an absent text equals nothing.
bool sameExactly(const char *textA, const char *textB) {
  return textA != nullptr && textB != nullptr && strcmp(textA, textB) == 0;
}

int findService(xPL_ServicePtr theService) {
  if (theService == nullptr) return -1;
  return services().find([&](xPL_ServicePtr entry) { return entry == theService; });
}

// Points a created message's source at the service's current identity.  A
// received message owns its source strings, so it gets copies instead:
// borrowed strings would be handed to the pool when the message is released.
void stampIdentity(xPL_ServicePtr theService, xPL_MessagePtr theMessage) {
  if (theMessage->receivedMessage) {
    xPL_FreeStr(theMessage->sourceVendor);
    xPL_FreeStr(theMessage->sourceDeviceID);
    xPL_FreeStr(theMessage->sourceInstanceID);
    theMessage->sourceVendor = xPL_StrDup(theService->serviceVendor);
    theMessage->sourceDeviceID = xPL_StrDup(theService->serviceDeviceID);
    theMessage->sourceInstanceID = xPL_StrDup(theService->serviceInstanceID);
  } else {
    theMessage->sourceVendor = theService->serviceVendor;
    theMessage->sourceDeviceID = theService->serviceDeviceID;
    theMessage->sourceInstanceID = theService->serviceInstanceID;
  }
}

xPL_MessagePtr createHeartbeatMessage(xPL_ServicePtr theService, HeartbeatType theType) {
  const HeartbeatKind &kind = heartbeatKinds[theType];
  xPL_MessagePtr theHeartbeat = xPL_createBroadcastMessage(theService, xPL_MESSAGE_STATUS);
  xPL_setSchema(theHeartbeat, kind.schemaClass, kind.schemaType);

  int minutes = kind.announcesOneMinute ? 1 : theService->heartbeatInterval / 60;
  xPL_addMessageNamedValue(theHeartbeat, "interval", xPL_intToStr(minutes));
  xPL_addMessageNamedValue(theHeartbeat, "port", xPL_intToStr(xPL_getPort()));
  xPL_addMessageNamedValue(theHeartbeat, "remote-ip", xPL_getListenerIPAddr());
  if (theService->serviceVersion != nullptr) {
    xPL_addMessageNamedValue(theHeartbeat, "version", theService->serviceVersion);
  }
  return theHeartbeat;
}

// The three identity setters share one rule; theField is the service's own
// vendor, device or instance slot.
void setIdentityField(xPL_ServicePtr theService, String *theField, const char *newText) {
  if (newText == nullptr) return;
  if (*theField != nullptr && xPL_strcmpIgnoreCase(*theField, newText) == 0) return;

  // The goodbye still carries the old identity, the heartbeat the new one.
  if (theService->serviceEnabled) xPL_sendGoodbyeHeartbeat(theService);

  xPL_FreeStr(*theField);
  *theField = xPL_StrDup(newText);
  // The cached heartbeat borrowed the old string; never leave it dangling.
  if (theService->heartbeatMessage != nullptr) {
    stampIdentity(theService, theService->heartbeatMessage);
  }

  if (theService->serviceEnabled) xPL_sendHeartbeat(theService);
}

bool isHeartbeatRequest(xPL_MessagePtr theMessage) {
  return theMessage->messageType == xPL_MESSAGE_COMMAND &&
         sameIgnoringCase(theMessage->schemaClass, "hbeat") &&
         sameIgnoringCase(theMessage->schemaType, "request");
}

bool isFromSelf(xPL_ServicePtr theService, xPL_MessagePtr theMessage) {
  return sameExactly(theMessage->sourceVendor, theService->serviceVendor) &&
         sameExactly(theMessage->sourceDeviceID, theService->serviceDeviceID) &&
         sameExactly(theMessage->sourceInstanceID, theService->serviceInstanceID);
}

// An absent filter string stands for any value.
bool filterFieldMatches(const char *wanted, const char *actual) {
  return wanted == nullptr || sameIgnoringCase(wanted, actual);
}

bool doesFilterMatch(const xPL_ServiceFilter &theFilter, xPL_MessagePtr theMessage) {
  if (theFilter.matchOnMessageType != xPL_MESSAGE_ANY &&
      theFilter.matchOnMessageType != theMessage->messageType) {
    return false;
  }
  return filterFieldMatches(theFilter.matchOnVendor, theMessage->sourceVendor) &&
         filterFieldMatches(theFilter.matchOnDeviceID, theMessage->sourceDeviceID) &&
         filterFieldMatches(theFilter.matchOnInstanceID, theMessage->sourceInstanceID) &&
         filterFieldMatches(theFilter.matchOnSchemaClass, theMessage->schemaClass) &&
         filterFieldMatches(theFilter.matchOnSchemaType, theMessage->schemaType);
}

bool passesFilters(xPL_ServicePtr theService, xPL_MessagePtr theMessage) {
  if (theService->filterCount == 0) return true;
  for (int i = 0; i < theService->filterCount; i++) {
    if (doesFilterMatch(theService->messageFilterList[i], theMessage)) return true;
  }
  return false;
}

// A received group target is the whole text "XPL-GROUP.name"; groups are
// compared with it as configured.
bool isInGroup(xPL_ServicePtr theService, xPL_MessagePtr theMessage) {
  for (int i = 0; i < theService->groupCount; i++) {
    if (sameIgnoringCase(theService->groupList[i], theMessage->groupName)) return true;
  }
  return false;
}

bool isTargetedAt(xPL_ServicePtr theService, xPL_MessagePtr theMessage) {
  return sameIgnoringCase(theMessage->targetVendor, theService->serviceVendor) &&
         sameIgnoringCase(theMessage->targetDeviceID, theService->serviceDeviceID) &&
         sameIgnoringCase(theMessage->targetInstanceID, theService->serviceInstanceID);
}

// The delayed answer to a heartbeat request, fired by the event loop.
void sendRequestedHeartbeat(xPL_ObjectPtr theService) {
  xPL_sendHeartbeat(static_cast<xPL_ServicePtr>(theService));
}

// Answers a broadcast heartbeat request after a random delay, kept by a timer
// of the event loop so that nothing else waits meanwhile.  One pending answer
// serves every request that comes before it is sent.  Only a service that
// takes part in the network and responds to broadcasts answers: a disabled
// one has said goodbye and must not reappear.
void answerHeartbeatRequest(xPL_ServicePtr theService) {
  if (!theService->serviceEnabled || theService->ignoreBroadcasts) return;
  if (xPL_isTimerPending(sendRequestedHeartbeat, theService)) return;
  int responseDelay =
      REPLY_DELAY_MIN_MS + static_cast<int>(random() / RANDOM_MAX * REPLY_DELAY_SPAN_MS);
  xPL_Debug("Sending heartbeat in response to discovery request after a %d millisecond delay",
            responseDelay);
  xPL_addTimer(sendRequestedHeartbeat, responseDelay, theService);
}

// Drops an answer still waiting for its delay.
void cancelRequestedHeartbeat(xPL_ServicePtr theService) {
  xPL_removeTimer(sendRequestedHeartbeat, theService);
}

// Offers one inbound message to one service.
void handleMessage(xPL_ServicePtr theService, xPL_MessagePtr theMessage) {
  if (!theService->reportOwnMessages && isFromSelf(theService, theMessage)) {
    xPL_Debug("Skipping message from self");
    return;
  }

  if (theMessage->isBroadcastMessage) {
    if (isHeartbeatRequest(theMessage)) answerHeartbeatRequest(theService);
    if (!passesFilters(theService, theMessage)) return;
  } else if (theMessage->isGroupMessage) {
    if (!isInGroup(theService, theMessage)) return;
  } else if (!isTargetedAt(theService, theMessage)) {
    return;
  }

  xPL_dispatchServiceEvent(theService, theMessage);
}

// The services' part of the event loop's idle work.
void checkHeartbeats(time_t now) {
  const time_t sinceHeartbeatCheck = now - heartbeatCheckLastDoneAt;
  if (heartbeatCheckLastDoneAt == -1 || sinceHeartbeatCheck >= HEARTBEAT_CHECK_SECONDS ||
      sinceHeartbeatCheck < 0 || !xPL_isHubConfirmed()) {
    xPL_sendTimelyHeartbeats();
    heartbeatCheckLastDoneAt = now;
  }
}

// The services take part in the library's life once the first of them
// exists: they hear every inbound message, keep their heartbeat schedule in
// the loop's idle work, and say goodbye when the library shuts down.
void subscribeServices() {
  static bool subscribed = false;
  if (subscribed) return;
  subscribed = true;
  xPL_addMessageListener(xPL_handleServiceMessage, nullptr);
  xpl::internal::addIdleWork(checkHeartbeats);
  xpl::internal::addShutdownWork(xPL_disableAllServices);
}

// A message to send with the service's identity as its source (none for
// an absent service).
xPL_MessagePtr createServiceMessage(xPL_ServicePtr theService, xPL_MessageType theType) {
  if (theService == nullptr) {
    return xpl::internal::createSendableMessage(theType, nullptr, nullptr, nullptr);
  }
  return xpl::internal::createSendableMessage(theType, theService->serviceVendor,
                                              theService->serviceDeviceID,
                                              theService->serviceInstanceID);
}

xPL_ServicePtr newService(const char *theVendor, const char *theDeviceID,
                          const char *theInstanceID) {
  subscribeServices();
  xPL_ServicePtr &theSlot = services().append();
  xPL_ServicePtr theService = xPL_AllocService();
  theSlot = theService;

  String generatedID = nullptr;
  if (theInstanceID == nullptr) {
    generatedID = xPL_getFairlyUniqueIdent();
    theInstanceID = generatedID;
  }

  // Disabled, so the setters send nothing.
  xPL_setServiceVendor(theService, theVendor);
  xPL_setServiceDeviceID(theService, theDeviceID);
  xPL_setServiceInstanceID(theService, theInstanceID);
  xPL_setHeartbeatInterval(theService, DEFAULT_HEARTBEAT_INTERVAL);

  xPL_FreeStr(generatedID);
  return theService;
}

}  // namespace

// ---------------------------------------------------------------------------
// Messages from a service
// ---------------------------------------------------------------------------

xPL_MessagePtr xPL_createTargetedMessage(xPL_ServicePtr theService, xPL_MessageType theType,
                                         const char *theVendor, const char *theDeviceID,
                                         const char *theInstanceID) {
  xPL_MessagePtr theMessage = createServiceMessage(theService, theType);
  xPL_setTarget(theMessage, theVendor, theDeviceID, theInstanceID);
  return theMessage;
}

xPL_MessagePtr xPL_createGroupTargetedMessage(xPL_ServicePtr theService,
                                              xPL_MessageType theType, const char *theGroup) {
  xPL_MessagePtr theMessage = createServiceMessage(theService, theType);
  xPL_setTargetGroup(theMessage, theGroup);
  return theMessage;
}

xPL_MessagePtr xPL_createBroadcastMessage(xPL_ServicePtr theService, xPL_MessageType theType) {
  xPL_MessagePtr theMessage = createServiceMessage(theService, theType);
  xPL_setBroadcastMessage(theMessage, TRUE);
  return theMessage;
}

// ---------------------------------------------------------------------------
// Services
// ---------------------------------------------------------------------------

xPL_ServicePtr xPL_createService(const char *theVendor, const char *theDeviceID,
                                 const char *theInstanceID) {
  return newService(theVendor, theDeviceID, theInstanceID);
}

void xPL_releaseService(xPL_ServicePtr theService) {
  if (theService == nullptr || findService(theService) < 0) return;

  xPL_setServiceEnabled(theService, FALSE);
  // The timer holds the record's address; it must not outlive the record.
  cancelRequestedHeartbeat(theService);

  if (theService->heartbeatMessage != nullptr) {
    xPL_releaseMessage(theService->heartbeatMessage);
    theService->heartbeatMessage = nullptr;
  }

  xPL_FreeStr(theService->serviceVendor);
  xPL_FreeStr(theService->serviceDeviceID);
  xPL_FreeStr(theService->serviceInstanceID);
  xPL_FreeStr(theService->serviceVersion);
  theService->serviceVendor = nullptr;
  theService->serviceDeviceID = nullptr;
  theService->serviceInstanceID = nullptr;
  theService->serviceVersion = nullptr;

  xPL_clearServiceGroups(theService);
  groupsOf(theService).release();

  xPL_clearServiceFilters(theService);
  filtersOf(theService).release();

  xpl::internal::releaseServiceListeners(theService);

  xPL_releaseServiceConfigurables(theService);

  // Sending the goodbye cannot change the table, but look again rather than
  // trust an index taken before it.
  int index = findService(theService);
  if (index >= 0) services().removeAt(index);
  xPL_FreeService(theService);
}

int xPL_getServiceCount(void) { return services().liveCount(); }

xPL_ServicePtr xPL_getServiceAt(int theIndex) {
  if (theIndex < 0) return nullptr;
  // Services released during a walk still hold their places, marked.
  for (int i = 0; i < serviceCount; i++) {
    if (serviceList[i] != nullptr && theIndex-- == 0) return serviceList[i];
  }
  return nullptr;
}

void xPL_setServiceEnabled(xPL_ServicePtr theService, Bool isEnabled) {
  if (theService == nullptr) return;
  Bool wanted = isEnabled ? TRUE : FALSE;
  if (wanted == theService->serviceEnabled) return;
  theService->serviceEnabled = wanted;

  if (wanted) {
    // Rebuilt so that interval, version and mode changes reach the network.
    if (theService->heartbeatMessage != nullptr) {
      xPL_releaseMessage(theService->heartbeatMessage);
      theService->heartbeatMessage = nullptr;
    }
    xPL_sendHeartbeat(theService);
  } else {
    cancelRequestedHeartbeat(theService);
    xPL_sendGoodbyeHeartbeat(theService);
  }
}

Bool xPL_isServiceEnabled(xPL_ServicePtr theService) { return theService->serviceEnabled; }

void xPL_setServiceVendor(xPL_ServicePtr theService, const char *theVendor) {
  setIdentityField(theService, &theService->serviceVendor, theVendor);
}

void xPL_setServiceDeviceID(xPL_ServicePtr theService, const char *theDeviceID) {
  setIdentityField(theService, &theService->serviceDeviceID, theDeviceID);
}

void xPL_setServiceInstanceID(xPL_ServicePtr theService, const char *theInstanceID) {
  setIdentityField(theService, &theService->serviceInstanceID, theInstanceID);
}

String xPL_getServiceVendor(xPL_ServicePtr theService) { return theService->serviceVendor; }

String xPL_getServiceDeviceID(xPL_ServicePtr theService) { return theService->serviceDeviceID; }

String xPL_getServiceInstanceID(xPL_ServicePtr theService) {
  return theService->serviceInstanceID;
}

void xPL_setServiceVersion(xPL_ServicePtr theService, const char *theVersion) {
  xPL_FreeStr(theService->serviceVersion);
  theService->serviceVersion =
      (theVersion != nullptr && theVersion[0] != '\0') ? xPL_StrDup(theVersion) : nullptr;
}

String xPL_getServiceVersion(xPL_ServicePtr theService) { return theService->serviceVersion; }

void xPL_setReportOwnMessages(xPL_ServicePtr theService, Bool reportOwnMessages) {
  theService->reportOwnMessages = reportOwnMessages;
}

Bool xPL_isReportOwnMessages(xPL_ServicePtr theService) { return theService->reportOwnMessages; }

void xPL_setRespondingToBroadcasts(xPL_ServicePtr theService, Bool respondToBroadcasts) {
  theService->ignoreBroadcasts = respondToBroadcasts ? FALSE : TRUE;
}

Bool xPL_isRespondingToBroadcasts(xPL_ServicePtr theService) {
  return theService->ignoreBroadcasts ? FALSE : TRUE;
}

void xPL_setHeartbeatInterval(xPL_ServicePtr theService, int newInterval) {
  if (newInterval < 0 || newInterval > MAX_HEARTBEAT_INTERVAL) return;
  theService->heartbeatInterval = newInterval;
}

int xPL_getHeartbeatInterval(xPL_ServicePtr theService) { return theService->heartbeatInterval; }

Bool xPL_isServiceFiltered(xPL_ServicePtr theService) {
  return theService->filterCount != 0 ? TRUE : FALSE;
}

void xPL_clearServiceFilters(xPL_ServicePtr theService) {
  for (int i = 0; i < theService->filterCount; i++) {
    xPL_ServiceFilter &theFilter = theService->messageFilterList[i];
    theFilter.matchOnMessageType = xPL_MESSAGE_ANY;
    for (String *field : {&theFilter.matchOnVendor, &theFilter.matchOnDeviceID,
                          &theFilter.matchOnInstanceID, &theFilter.matchOnSchemaClass,
                          &theFilter.matchOnSchemaType}) {
      xPL_FreeStr(*field);
      *field = nullptr;
    }
  }
  filtersOf(theService).clear();
}

Bool xPL_doesServiceHaveGroups(xPL_ServicePtr theService) {
  return theService->groupCount != 0 ? TRUE : FALSE;
}

void xPL_clearServiceGroups(xPL_ServicePtr theService) {
  for (int i = 0; i < theService->groupCount; i++) {
    xPL_FreeStr(theService->groupList[i]);
    theService->groupList[i] = nullptr;
  }
  groupsOf(theService).clear();
}

Bool xPL_sendHeartbeat(xPL_ServicePtr theService) {
  if (theService == nullptr) return FALSE;
  HeartbeatType wantedType = isInConfigMode(theService) ? HBEAT_CONFIG : HBEAT_NORMAL;

  // A service configured since its heartbeat was built must not go on
  // announcing itself as waiting for configuration (nor the reverse).
  if (theService->heartbeatMessage != nullptr &&
      !sameIgnoringCase(theService->heartbeatMessage->schemaClass,
                        heartbeatKinds[wantedType].schemaClass)) {
    xPL_releaseMessage(theService->heartbeatMessage);
    theService->heartbeatMessage = nullptr;
  }

  if (theService->heartbeatMessage == nullptr) {
    theService->heartbeatMessage = createHeartbeatMessage(theService, wantedType);
    xPL_Debug("SERVICE:: Just allocated a new Heartbeat message for the service");
  }

  // Stamped afresh: the identity may have changed since the message was built.
  if (!xPL_sendServiceMessage(theService, theService->heartbeatMessage)) return FALSE;

  theService->lastHeartbeatAt = xPL_now();
  xPL_Debug("Sent Heatbeat message");
  return TRUE;
}

Bool xPL_sendGoodbyeHeartbeat(xPL_ServicePtr theService) {
  if (theService == nullptr) return FALSE;
  xPL_MessagePtr theGoodbye = createHeartbeatMessage(
      theService, isInConfigMode(theService) ? HBEAT_CONFIG_END : HBEAT_NORMAL_END);
  Bool wasSent = xPL_sendMessage(theGoodbye);
  xPL_releaseMessage(theGoodbye);
  if (!wasSent) return FALSE;
  xPL_Debug("Sent Goodbye Heatbeat");
  return TRUE;
}

void xPL_sendTimelyHeartbeats(void) {
  time_t now = xPL_now();
  for (int i = 0; i < serviceCount; i++) {
    xPL_ServicePtr theService = serviceList[i];
    if (theService == nullptr || !theService->serviceEnabled) continue;

    time_t lastAt = theService->lastHeartbeatAt;
    time_t elapsed = now - lastAt;
    bool isDue;
    if (elapsed < 0) {
      // The clock was set back: announce now and count from here, rather
      // than fall silent until the clock catches up with the old stamp.
      isDue = true;
    } else if (!xPL_isHubConfirmed()) {
      isDue = elapsed > UNCONFIRMED_HUB_GAP;
    } else if (isInConfigMode(theService)) {
      isDue = lastAt <= 0 || elapsed >= CONFIG_MODE_PERIOD;
    } else {
      isDue = lastAt <= 0 || elapsed >= theService->heartbeatInterval;
    }
    // A failed send leaves lastHeartbeatAt alone, so the next pass retries.
    if (isDue) xPL_sendHeartbeat(theService);
  }
}

Bool xPL_sendServiceMessage(xPL_ServicePtr theService, xPL_MessagePtr theMessage) {
  if (theService == nullptr || theMessage == nullptr) return FALSE;
  stampIdentity(theService, theMessage);
  return xPL_sendMessage(theMessage);
}

void xPL_disableAllServices(void) {
  // A place still held by a released service is null, which the setter ignores.
  for (int i = 0; i < serviceCount; i++) xPL_setServiceEnabled(serviceList[i], FALSE);
}

void xPL_handleServiceMessage(xPL_MessagePtr theMessage, xPL_ObjectPtr) {
  if (theMessage == nullptr) return;
  // Newest service first; one released by a listener meanwhile is passed over.
  services().walkNewestFirst([&](xPL_ServicePtr theService, int) {
    handleMessage(theService, theMessage);
    return true;
  });
}

// ---------------------------------------------------------------------------
// Groups and filters of the configuration
// ---------------------------------------------------------------------------

void xpl::internal::addServiceGroup(xPL_ServicePtr theService, const char *theGroup) {
  groupsOf(theService).append() = xPL_StrDup(theGroup);
}

void xpl::internal::addServiceFilter(xPL_ServicePtr theService,
                                     const xPL_ServiceFilter &theFilter) {
  filtersOf(theService).append() = theFilter;
}

// ---------------------------------------------------------------------------
// Test hooks
// ---------------------------------------------------------------------------

int xPL_getServiceGroupCount(xPL_ServicePtr theService) { return theService->groupCount; }

String xPL_getServiceGroupAt(xPL_ServicePtr theService, int theIndex) {
  if (theIndex < 0 || theIndex >= theService->groupCount) return nullptr;
  return theService->groupList[theIndex];
}

int xPL_getServiceFilterCount(xPL_ServicePtr theService) { return theService->filterCount; }

xPL_ServiceFilterPtr xPL_getServiceFilterAt(xPL_ServicePtr theService, int theIndex) {
  if (theIndex < 0 || theIndex >= theService->filterCount) return nullptr;
  return &theService->messageFilterList[theIndex];
}

time_t xPL_getLastHeartbeatAt(xPL_ServicePtr theService) { return theService->lastHeartbeatAt; }

void xPL_setLastHeartbeatAt(xPL_ServicePtr theService, time_t theTime) {
  theService->lastHeartbeatAt = theTime;
}

void xPL_setServiceConfigurable(xPL_ServicePtr theService, Bool isConfigurable) {
  theService->configurableService = isConfigurable;
}

void xPL_setServiceConfigured(xPL_ServicePtr theService, Bool isConfigured) {
  theService->serviceConfigured = isConfigured;
}
