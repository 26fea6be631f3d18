// xPL-listeners.cpp -- the four callback registries: raw datagrams, parsed
// messages, a service's accepted messages and a service's configuration
// changes.
//
// Each registry is an array that grows by kListenerGrowBy entries and never
// shrinks.  Dispatch runs from the newest entry to the oldest over the count
// taken when it starts, looking the array up afresh at every step, so a
// callback may add listeners (they wait for the next dispatch) or remove any
// entry: one removed before the walk reaches it is never called, and no entry
// is called twice.
#include <cstdlib>
#include <cstring>

#include "xPL_priv.h"

namespace {

constexpr int kListenerGrowBy = 16;
static_assert(kListenerGrowBy > 0, "a registry must grow when full");

struct rawListenerEntry {
  xPL_rawListener theListener;
  xPL_ObjectPtr userValue;
};
using rawListenerPtr = rawListenerEntry *;

struct messageListenerEntry {
  xPL_messageListener theListener;
  xPL_ObjectPtr userValue;
};
using messageListenerPtr = messageListenerEntry *;

rawListenerPtr rawListenerList = nullptr;
int rawListenerCount = 0;
int rawAllocListenerCount = 0;

messageListenerPtr messageListenerList = nullptr;
int messageListenerCount = 0;
int messageAllocListenerCount = 0;

// Makes room for one more entry and returns it, cleared; the caller fills it.
template <typename Entry>
Entry *appendEntry(Entry *&theList, int &theCount, int &theAllocCount) {
  if (theCount == theAllocCount) {
    theAllocCount += kListenerGrowBy;
    theList = static_cast<Entry *>(realloc(static_cast<void *>(theList),
                                           sizeof(Entry) * static_cast<size_t>(theAllocCount)));
  }
  Entry *theEntry = &theList[theCount++];
  memset(static_cast<void *>(theEntry), 0, sizeof(Entry));
  return theEntry;
}

// Index of the oldest entry whose callback is theCallback, or -1.
template <typename Entry, typename Callback, typename Getter>
int findEntry(const Entry *theList, int theCount, Callback theCallback, Getter getCallback) {
  for (int i = 0; i < theCount; i++) {
    if (getCallback(theList[i]) == theCallback) return i;
  }
  return -1;
}

// A dispatch in progress: which registry it walks (known by its count, whose
// address never changes) and where it stands.  Walks nest when a callback
// dispatches again, so they form a stack.
struct Walk {
  const int *theCount;
  int position;
  Walk *outer;
};
Walk *activeWalks = nullptr;

// Closes the gap at theIndex, keeping the order of the later entries.  A walk
// standing above the gap would otherwise meet the entry it has just called a
// second time, so it moves down with the entries.
template <typename Entry>
void removeEntryAt(Entry *theList, int &theCount, int theIndex) {
  memmove(static_cast<void *>(&theList[theIndex]), static_cast<void *>(&theList[theIndex + 1]),
          sizeof(Entry) * static_cast<size_t>(theCount - theIndex - 1));
  theCount--;
  for (Walk *theWalk = activeWalks; theWalk != nullptr; theWalk = theWalk->outer) {
    if (theWalk->theCount == &theCount && theIndex < theWalk->position) theWalk->position--;
  }
}

// Walks the registry newest first.  theCall receives a copy of each entry; an
// entry beyond the current count (removed by a callback during this walk) is
// passed over.  Returns whether any call was made.
template <typename Entry, typename Call>
bool dispatchEntries(Entry *const &theList, const int &theCount, Call theCall) {
  bool anyCalled = false;
  Walk theWalk{&theCount, theCount - 1, activeWalks};
  activeWalks = &theWalk;
  for (; theWalk.position >= 0; theWalk.position--) {
    if (theWalk.position >= theCount) continue;
    // A copy: a callback that adds a listener may move the array.
    const Entry theEntry = theList[theWalk.position];
    if (theCall(theEntry)) anyCalled = true;
  }
  activeWalks = theWalk.outer;
  return anyCalled;
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
// Raw listeners
// ---------------------------------------------------------------------------

void xPL_addRawListener(xPL_rawListener theHandler, xPL_ObjectPtr userValue) {
  rawListenerPtr theEntry = appendEntry(rawListenerList, rawListenerCount, rawAllocListenerCount);
  theEntry->theListener = theHandler;
  theEntry->userValue = userValue;
}

Bool xPL_removeRawListener(xPL_rawListener theHandler) {
  const int theIndex = findEntry(rawListenerList, rawListenerCount, theHandler,
                                 [](const rawListenerEntry &e) { return e.theListener; });
  if (theIndex < 0) return FALSE;
  removeEntryAt(rawListenerList, rawListenerCount, theIndex);
  return TRUE;
}

Bool xPL_dispatchRawEvent(String theData, int dataLen) {
  return dispatchEntries(rawListenerList, rawListenerCount,
                         [&](const rawListenerEntry &theEntry) {
                           theEntry.theListener(theData, dataLen, theEntry.userValue);
                           return true;
                         })
             ? TRUE
             : FALSE;
}

// ---------------------------------------------------------------------------
// Message listeners
// ---------------------------------------------------------------------------

void xPL_addMessageListener(xPL_messageListener theHandler, xPL_ObjectPtr userValue) {
  messageListenerPtr theEntry =
      appendEntry(messageListenerList, messageListenerCount, messageAllocListenerCount);
  theEntry->theListener = theHandler;
  theEntry->userValue = userValue;
}

Bool xPL_removeMessageListener(xPL_messageListener theHandler) {
  const int theIndex = findEntry(messageListenerList, messageListenerCount, theHandler,
                                 [](const messageListenerEntry &e) { return e.theListener; });
  if (theIndex < 0) return FALSE;
  removeEntryAt(messageListenerList, messageListenerCount, theIndex);
  return TRUE;
}

Bool xPL_dispatchMessageEvent(xPL_MessagePtr theMessage) {
  return dispatchEntries(messageListenerList, messageListenerCount,
                         [&](const messageListenerEntry &theEntry) {
                           theEntry.theListener(theMessage, theEntry.userValue);
                           return true;
                         })
             ? TRUE
             : FALSE;
}

// ---------------------------------------------------------------------------
// Service listeners
// ---------------------------------------------------------------------------

void xPL_addServiceListener(xPL_ServicePtr theService, xPL_ServiceListener theListener,
                            xPL_MessageType messageType, const char *schemaClass,
                            const char *schemaType, xPL_ObjectPtr userValue) {
  if (theService == nullptr) return;
  xPL_ServiceListenerDefPtr theEntry = appendEntry(
      theService->serviceListenerList, theService->listenerCount, theService->listenerAllocCount);
  theEntry->matchMessageType = messageType;
  theEntry->matchSchemaClass = copySchemaFilter(schemaClass);
  theEntry->matchSchemaType = copySchemaFilter(schemaType);
  theEntry->userValue = userValue;
  theEntry->serviceListener = theListener;
}

Bool xPL_removeServiceListener(xPL_ServicePtr theService, xPL_ServiceListener theListener) {
  if (theService == nullptr) return FALSE;
  const int theIndex =
      findEntry(theService->serviceListenerList, theService->listenerCount, theListener,
                [](const xPL_ServiceListenerDef &e) { return e.serviceListener; });
  if (theIndex < 0) return FALSE;
  xPL_ServiceListenerDef &theEntry = theService->serviceListenerList[theIndex];
  xPL_FreeStr(theEntry.matchSchemaClass);
  xPL_FreeStr(theEntry.matchSchemaType);
  removeEntryAt(theService->serviceListenerList, theService->listenerCount, theIndex);
  return TRUE;
}

Bool xPL_dispatchServiceEvent(xPL_ServicePtr theService, xPL_MessagePtr theMessage) {
  if (theService == nullptr || theMessage == nullptr) return FALSE;
  return dispatchEntries(theService->serviceListenerList, theService->listenerCount,
                         [&](const xPL_ServiceListenerDef &theEntry) {
                           if (!serviceListenerMatches(theEntry, theMessage)) return false;
                           theEntry.serviceListener(theService, theMessage, theEntry.userValue);
                           return true;
                         })
             ? TRUE
             : FALSE;
}

// ---------------------------------------------------------------------------
// Configuration-changed listeners
// ---------------------------------------------------------------------------

void xPL_addServiceConfigChangedListener(xPL_ServicePtr theService,
                                         xPL_ServiceConfigChangedListener theListener,
                                         xPL_ObjectPtr userValue) {
  if (theService == nullptr) return;
  xPL_ServiceChangedListenerDefPtr theEntry =
      appendEntry(theService->changedListenerList, theService->configChangedCount,
                  theService->configChangedAllocCount);
  theEntry->changeListener = theListener;
  theEntry->userValue = userValue;
}

Bool xPL_removeServiceConfigChangedListener(xPL_ServicePtr theService,
                                            xPL_ServiceConfigChangedListener theListener) {
  if (theService == nullptr) return FALSE;
  const int theIndex =
      findEntry(theService->changedListenerList, theService->configChangedCount, theListener,
                [](const xPL_ServiceChangedListenerDef &e) { return e.changeListener; });
  if (theIndex < 0) return FALSE;
  removeEntryAt(theService->changedListenerList, theService->configChangedCount, theIndex);
  return TRUE;
}

Bool xPL_dispatchServiceConfigChangedEvent(xPL_ServicePtr theService) {
  if (theService == nullptr) return FALSE;
  return dispatchEntries(theService->changedListenerList, theService->configChangedCount,
                         [&](const xPL_ServiceChangedListenerDef &theEntry) {
                           theEntry.changeListener(theService, theEntry.userValue);
                           return true;
                         })
             ? TRUE
             : FALSE;
}
