// xPL-servicelisteners.cpp -- the two registries every service carries:
// its service listeners (the messages it accepted, narrowed by type and
// schema) and its configuration-changed listeners.
//
// Each registry is a Table (xPL_table.h) over the service record's own
// fields that grows by kListenerGrowBy entries and never shrinks until the
// service is released.  Dispatch runs from the newest entry to the oldest
// over the entries present when it starts, so a callback may add listeners
// (they wait for the next dispatch) or remove any entry: one removed before
// the walk reaches it is never called, and no entry is called twice.
#include "xPL_priv.h"
#include "xPL_table.h"

namespace {

constexpr int kListenerGrowBy = 16;
static_assert(kListenerGrowBy > 0, "a registry must grow when full");

using ServiceListeners =
    xpl::internal::Table<xPL_ServiceListenerDef,
                         xpl::internal::ClearedCallback<&xPL_ServiceListenerDef::serviceListener>>;

ServiceListeners serviceListeners(xPL_ServicePtr theService) {
  return {theService->serviceListenerList, theService->listenerCount,
          theService->listenerAllocCount, kListenerGrowBy};
}

using ChangedListeners = xpl::internal::Table<
    xPL_ServiceChangedListenerDef,
    xpl::internal::ClearedCallback<&xPL_ServiceChangedListenerDef::changeListener>>;

ChangedListeners changedListeners(xPL_ServicePtr theService) {
  return {theService->changedListenerList, theService->configChangedCount,
          theService->configChangedAllocCount, kListenerGrowBy};
}

// An absent filter matches everything; a message without the field matches
// only an absent filter.
bool schemaPartMatches(const char *theFilter, const char *theValue) {
  if (theFilter == nullptr) return true;
  return theValue != nullptr && xPL_strcmpIgnoreCase(theFilter, theValue) == 0;
}

bool serviceListenerMatches(const xPL_ServiceListenerDef &theEntry, xPL_MessagePtr theMessage) {
  if (theEntry.matchMessageType != xPL_MESSAGE_ANY &&
      theEntry.matchMessageType != theMessage->messageType) {
    return false;
  }
  return schemaPartMatches(theEntry.matchSchemaClass, theMessage->schemaClass) &&
         schemaPartMatches(theEntry.matchSchemaType, theMessage->schemaType);
}

// A pooled copy of a schema filter; null and empty texts both mean "any".
String copySchemaFilter(const char *theText) {
  return (theText == nullptr || theText[0] == '\0') ? nullptr : xPL_StrDup(theText);
}

}  // namespace

// ---------------------------------------------------------------------------
// Service listeners
// ---------------------------------------------------------------------------

void xPL_addServiceListener(xPL_ServicePtr theService, xPL_ServiceListener theListener,
                            xPL_MessageType messageType, const char *schemaClass,
                            const char *schemaType, xPL_ObjectPtr userValue) {
  if (theService == nullptr) return;
  serviceListeners(theService).append() = {messageType, copySchemaFilter(schemaClass),
                                           copySchemaFilter(schemaType), userValue, theListener};
}

Bool xPL_removeServiceListener(xPL_ServicePtr theService, xPL_ServiceListener theListener) {
  if (theService == nullptr) return FALSE;
  ServiceListeners registry = serviceListeners(theService);
  const int theIndex = registry.find(
      [&](const xPL_ServiceListenerDef &e) { return e.serviceListener == theListener; });
  if (theIndex < 0) return FALSE;
  // The copies go back at once; an entry only marked during a dispatch keeps
  // no string that its service's release would return a second time.
  xPL_ServiceListenerDef &theEntry = registry[theIndex];
  xPL_FreeStr(theEntry.matchSchemaClass);
  xPL_FreeStr(theEntry.matchSchemaType);
  theEntry.matchSchemaClass = nullptr;
  theEntry.matchSchemaType = nullptr;
  registry.removeAt(theIndex);
  return TRUE;
}

Bool xPL_dispatchServiceEvent(xPL_ServicePtr theService, xPL_MessagePtr theMessage) {
  if (theService == nullptr || theMessage == nullptr) return FALSE;
  bool anyCalled = false;
  serviceListeners(theService).walkNewestFirst([&](const xPL_ServiceListenerDef &theEntry, int) {
    if (!serviceListenerMatches(theEntry, theMessage)) return true;
    theEntry.serviceListener(theService, theMessage, theEntry.userValue);
    anyCalled = true;
    return true;
  });
  return anyCalled ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------
// Configuration-changed listeners
// ---------------------------------------------------------------------------

void xPL_addServiceConfigChangedListener(xPL_ServicePtr theService,
                                         xPL_ServiceConfigChangedListener theListener,
                                         xPL_ObjectPtr userValue) {
  if (theService == nullptr) return;
  changedListeners(theService).append() = {theListener, userValue};
}

Bool xPL_removeServiceConfigChangedListener(xPL_ServicePtr theService,
                                            xPL_ServiceConfigChangedListener theListener) {
  if (theService == nullptr) return FALSE;
  ChangedListeners registry = changedListeners(theService);
  const int theIndex = registry.find(
      [&](const xPL_ServiceChangedListenerDef &e) { return e.changeListener == theListener; });
  if (theIndex < 0) return FALSE;
  registry.removeAt(theIndex);
  return TRUE;
}

Bool xPL_dispatchServiceConfigChangedEvent(xPL_ServicePtr theService) {
  if (theService == nullptr) return FALSE;
  bool anyCalled = false;
  changedListeners(theService).walkNewestFirst(
      [&](const xPL_ServiceChangedListenerDef &theEntry, int) {
        theEntry.changeListener(theService, theEntry.userValue);
        anyCalled = true;
        return true;
      });
  return anyCalled ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------
// Release with the service
// ---------------------------------------------------------------------------

void xpl::internal::releaseServiceListeners(xPL_ServicePtr theService) {
  ServiceListeners registry = serviceListeners(theService);
  for (int i = 0; i < registry.count(); i++) {
    xPL_FreeStr(registry[i].matchSchemaClass);
    xPL_FreeStr(registry[i].matchSchemaType);
  }
  registry.release();
}

void xpl::internal::releaseConfigChangedListeners(xPL_ServicePtr theService) {
  changedListeners(theService).release();
}
