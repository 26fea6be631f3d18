// xPL-listeners.cpp -- the registries of the inbound traffic: raw
// datagrams and parsed messages.  The receive path dispatches to them; the
// services subscribe to parsed messages here like any application.
//
// Each registry is a Table (xPL_table.h) that grows by kListenerGrowBy
// entries and never shrinks.  Dispatch runs from the newest entry to the
// oldest over the entries present when it starts, so a callback may add
// listeners (they wait for the next dispatch) or remove any entry: one
// removed before the walk reaches it is never called, and no entry is called
// twice.
#include "xPL_priv.h"
#include "xPL_table.h"

namespace {

constexpr int kListenerGrowBy = 16;
static_assert(kListenerGrowBy > 0, "a registry must grow when full");

struct rawListenerEntry {
  xPL_rawListener theListener;
  xPL_ObjectPtr userValue;
};

struct messageListenerEntry {
  xPL_messageListener theListener;
  xPL_ObjectPtr userValue;
};

rawListenerEntry *rawListenerList = nullptr;
int rawListenerCount = 0;
int rawAllocListenerCount = 0;

messageListenerEntry *messageListenerList = nullptr;
int messageListenerCount = 0;
int messageAllocListenerCount = 0;

template <typename Entry>
using Registry = xpl::internal::Table<Entry, xpl::internal::ClearedCallback<&Entry::theListener>>;

Registry<rawListenerEntry> rawListeners() {
  return {rawListenerList, rawListenerCount, rawAllocListenerCount, kListenerGrowBy};
}

Registry<messageListenerEntry> messageListeners() {
  return {messageListenerList, messageListenerCount, messageAllocListenerCount, kListenerGrowBy};
}

}  // namespace

// ---------------------------------------------------------------------------
// Raw listeners
// ---------------------------------------------------------------------------

void xPL_addRawListener(xPL_rawListener theHandler, xPL_ObjectPtr userValue) {
  rawListeners().append() = {theHandler, userValue};
}

Bool xPL_removeRawListener(xPL_rawListener theHandler) {
  Registry<rawListenerEntry> registry = rawListeners();
  const int theIndex =
      registry.find([&](const rawListenerEntry &e) { return e.theListener == theHandler; });
  if (theIndex < 0) return FALSE;
  registry.removeAt(theIndex);
  return TRUE;
}

Bool xPL_dispatchRawEvent(String theData, int dataLen) {
  bool anyCalled = false;
  rawListeners().walkNewestFirst([&](const rawListenerEntry &theEntry, int) {
    theEntry.theListener(theData, dataLen, theEntry.userValue);
    anyCalled = true;
    return true;
  });
  return anyCalled ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------
// Message listeners
// ---------------------------------------------------------------------------

void xPL_addMessageListener(xPL_messageListener theHandler, xPL_ObjectPtr userValue) {
  messageListeners().append() = {theHandler, userValue};
}

Bool xPL_removeMessageListener(xPL_messageListener theHandler) {
  Registry<messageListenerEntry> registry = messageListeners();
  const int theIndex =
      registry.find([&](const messageListenerEntry &e) { return e.theListener == theHandler; });
  if (theIndex < 0) return FALSE;
  registry.removeAt(theIndex);
  return TRUE;
}

Bool xPL_dispatchMessageEvent(xPL_MessagePtr theMessage) {
  bool anyCalled = false;
  messageListeners().walkNewestFirst([&](const messageListenerEntry &theEntry, int) {
    theEntry.theListener(theMessage, theEntry.userValue);
    anyCalled = true;
    return true;
  });
  return anyCalled ? TRUE : FALSE;
}
