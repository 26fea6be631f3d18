// xPL_priv.h -- declarations shared by the library's units only.
//
// Nothing here is part of the public interface.  The prefixed operations
// (xPL_...) keep C linkage; the C++ internals live in namespace
// xpl::internal, so that no unprefixed name reaches a program that links
// the library.  The declarations follow the layers, bottom first; a unit
// uses only those of the units below it.  The test hooks at the end exist so
// that tests can drive time, capture sent datagrams and read a service's
// tables; a program never uses them.
#ifndef XPL_PRIV_H
#define XPL_PRIV_H

#include "xPL.h"

// The xPL port: destination of every broadcast, and the standalone listener.
#define XPL_PORT 3865

// Outgoing text holds at most MSG_MAX_SIZE - 1 characters.
#define MSG_MAX_SIZE 1500

#ifdef __cplusplus
extern "C" {
#endif

// ---- Clocks (xPL-utils) -----------------------------------------------------

// Wall-clock seconds as the loop and the heartbeat schedule see them.
time_t xPL_now(void);
// Milliseconds on the monotonic clock, as the loop's one-shot timers see them.
long long xPL_nowMilliseconds(void);

// ---- Configuration file of a service (xPL-config) ---------------------------

// Associates a file path while disabled; NULL leaves the service without one.
void xPL_setServiceConfigFile(xPL_ServicePtr theService, const char *theConfigFile);
// Loads the file into a disabled, unconfigured service; FALSE on a bad file.
Bool xPL_loadServiceConfig(xPL_ServicePtr theService);
// Rewrites the file atomically; FALSE (old file intact) when it cannot.
Bool xPL_saveServiceConfig(xPL_ServicePtr theService);

// ---- Test hooks --------------------------------------------------------------

// Replaces the clock behind xPL_now; NULL restores time().
void xPL_setClock(time_t (*theClock)(void));
// Replaces the clock behind xPL_nowMilliseconds; NULL restores the monotonic
// one.  A clock that stands still lets timers fire only when it is moved, so
// tests that set one run the loop with a time limit of 0.
void xPL_setMillisecondClock(long long (*theClock)(void));

// Receives what xPL_sendRawMessage would broadcast; its result is the send's.
typedef Bool (*xPL_RawSender)(const char *theData, int dataLen);
// Diverts xPL_sendRawMessage to theSender; NULL restores the socket.
void xPL_setRawSender(xPL_RawSender theSender);

// Sets the hub-confirmed flag (tests start each case from a known state).
void xPL_setHubConfirmed(Bool isConfirmed);

// Pairs the list has room for before it grows.
int xPL_getNamedValueCapacity(xPL_NameValueListPtr theList);

// The service's groups, in order.
int xPL_getServiceGroupCount(xPL_ServicePtr theService);
String xPL_getServiceGroupAt(xPL_ServicePtr theService, int theIndex);
// The service's filters, in order (read them with xpl::internal::formatFilter).
int xPL_getServiceFilterCount(xPL_ServicePtr theService);
xPL_ServiceFilterPtr xPL_getServiceFilterAt(xPL_ServicePtr theService, int theIndex);
// The service's configurable items, in order.
int xPL_getServiceConfigurableCount(xPL_ServicePtr theService);
xPL_ServiceConfigurablePtr xPL_getServiceConfigurableAt(xPL_ServicePtr theService, int theIndex);
// Values an item has room for before it grows.
int xPL_getServiceConfigValueCapacity(xPL_ServicePtr theService, const char *itemName);

// When the service's last heartbeat went out (0 = none yet); the setter
// moves it to test the schedule.
time_t xPL_getLastHeartbeatAt(xPL_ServicePtr theService);
void xPL_setLastHeartbeatAt(xPL_ServicePtr theService, time_t theTime);
// Puts a service in or out of configuration mode, as creating a configurable
// service and installing its first configuration do.
void xPL_setServiceConfigurable(xPL_ServicePtr theService, Bool isConfigurable);
void xPL_setServiceConfigured(xPL_ServicePtr theService, Bool isConfigured);

#ifdef __cplusplus
}

#include <cstring>

namespace xpl::internal {

// ---- Logging (xPL-utils) -----------------------------------------------------

// Whether debug lines are wanted.  The paths every message takes test it
// before assembling a line, so that a line nobody reads costs no call.
inline bool debugging() { return xPL_DebugMode != FALSE; }

// ---- Pools (xPL-store) --------------------------------------------------------
//
// Every name and value of every message received is taken from the string
// pool and given back to it, so its ordinary case (a free stack that holds a
// string of the length, or has room for one, with debugging off) is inline
// here; everything else goes the general way in xPL-store.

// One free stack of a pool: the last item pushed is the first handed out.
struct itemCache {
  void **cachedItems;
  int cacheAllocCount;
  int cacheCount;
};

// Strings of up to this many characters are pooled, one free stack per length.
constexpr int maxPooledLength = 255;
// The string stacks by length.  A stack counts as absent until a string of
// that length is first released: only then does it get an array.
extern itemCache StringCache[maxPooledLength + 1];

// Copies theLength bytes.  Names and values are mostly a few characters
// long: two overlapping moves copy them without a call.
inline void copyBytes(char *theCopy, const char *theText, size_t theLength) {
  if (theLength > 16) {
    memcpy(theCopy, theText, theLength);
  } else if (theLength >= 8) {
    memcpy(theCopy, theText, 8);
    memcpy(theCopy + theLength - 8, theText + theLength - 8, 8);
  } else if (theLength >= 4) {
    memcpy(theCopy, theText, 4);
    memcpy(theCopy + theLength - 4, theText + theLength - 4, 4);
  } else if (theLength > 0) {
    theCopy[0] = theText[0];
    theCopy[theLength / 2] = theText[theLength / 2];
    theCopy[theLength - 1] = theText[theLength - 1];
  }
}

// The general ways of copyString and releaseString.
String copyStringSlowly(const char *theText, int theLength);
void releaseStringSlowly(String theString, size_t theLength);

// A pool string holding theLength (0 or more) characters of theText, which
// need not be terminated there.
inline String copyString(const char *theText, int theLength) {
  if (static_cast<unsigned>(theLength) <= static_cast<unsigned>(maxPooledLength)) {
    itemCache &theCache = StringCache[theLength];
    if (theCache.cacheCount > 0 && !debugging()) {
      auto theCopy = static_cast<String>(theCache.cachedItems[--theCache.cacheCount]);
      copyBytes(theCopy, theText, static_cast<size_t>(theLength));
      theCopy[theLength] = '\0';
      return theCopy;
    }
  }
  return copyStringSlowly(theText, theLength);
}

// xPL_FreeStr: files theString (none is ignored) by its current length.
inline void releaseString(String theString) {
  if (theString == nullptr) return;
  const size_t theLength = strlen(theString);
  if (theLength <= static_cast<size_t>(maxPooledLength)) {
    itemCache &theCache = StringCache[theLength];
    if (theCache.cacheCount < theCache.cacheAllocCount && !debugging()) {
      theCache.cachedItems[theCache.cacheCount++] = theString;
      return;
    }
  }
  releaseStringSlowly(theString, theLength);
}

// ---- Name/value lists (xPL-namevalue) ---------------------------------------

// Appends a cleared pair (no name yet) to theList; the caller names it with
// a pool string of its own.
xPL_NameValuePairPtr appendNamedValuePair(xPL_NameValueListPtr theList);

// ---- Message model (xPL-message) --------------------------------------------

// A message to send of theType, borrowing its three source strings.
xPL_MessagePtr createSendableMessage(xPL_MessageType theType, const char *sourceVendor,
                                     const char *sourceDeviceID, const char *sourceInstanceID);
// An empty received message of theType, with a body list.
xPL_MessagePtr createReceivedMessage(xPL_MessageType theType);

// ---- Text format (xPL-format) -----------------------------------------------

// Characters of the text the last xPL_formatMessage produced.
int formattedLength();

// ---- Transport (xPL-transport) ----------------------------------------------

// Opens both sockets; false (reason noted for xPL_getStartupFailure) when
// already open or a step failed.
bool openTransport(xPL_ConnectType theConnectType);
// Closes both sockets; xPLFD becomes -1.
void closeTransport();

// ---- Event loop (xPL-loop) and start-up (xPL-start) -------------------------

// Work for the loop's idle passes, with the loop's clock reading.
using IdleWork = void (*)(time_t now);
// Runs theWork at every idle work of the loop, before the timeout handlers.
void addIdleWork(IdleWork theWork);

// Work to do at shutdown while both sockets are still open.
using ShutdownWork = void (*)();
// Runs theWork at every xPL_shutdown, in registration order.
void addShutdownWork(ShutdownWork theWork);

// ---- Service registries (xPL-servicelisteners) -----------------------------

// Returns the service's listener registry, schema copies included.
void releaseServiceListeners(xPL_ServicePtr theService);
// Returns the service's configuration-changed listener registry.
void releaseConfigChangedListeners(xPL_ServicePtr theService);

// ---- Configurable items (xPL-configitems) -----------------------------------

// Item names are kept to this many characters.
constexpr int maxItemNameLength = 127;
// While set, an installation may replace the values of an enabled service.
void setConfigurationBeingInstalled(bool isInstalling);

// ---- Services (xPL-service) -------------------------------------------------

// Adds a pool copy of theGroup to the service's groups.
void addServiceGroup(xPL_ServicePtr theService, const char *theGroup);
// Adds theFilter to the service's filters; the service owns its strings.
void addServiceFilter(xPL_ServicePtr theService, const xPL_ServiceFilter &theFilter);

// ---- Configuration file (xPL-configfile) ------------------------------------

// Reads the lines after the header of the file at thePath, which must name
// theVendor and theDeviceID: true with *theLines null when there is no file,
// true with a new list (the caller frees it), false on a bad file.
bool readConfigFile(const char *thePath, const char *theVendor, const char *theDeviceID,
                    xPL_NameValueListPtr *theLines);
// Replaces the file at thePath by the header and theLines, atomically;
// false (logged, the old file intact) when it cannot.
bool writeConfigFile(const char *thePath, const char *theVendor, const char *theDeviceID,
                     xPL_NameValueListPtr theLines);

// ---- Configuration (xPL-config) ---------------------------------------------

// Installs pairs as the whole configuration; definitions only when allowed.
void installNewConfig(xPL_ServicePtr theService, xPL_NameValueListPtr theConfig,
                      Bool allowDefinitions);
// Defines an item from "name" or "name[count]"; FALSE for a bad or refused one.
Bool parseConfigDefinition(xPL_ServicePtr theService, const char *theDefinition,
                           xPL_ConfigurableType theType);
// The filter's text form as a new pool string; the caller releases it.
String formatFilter(xPL_ServiceFilterPtr theFilter);
// Fills the filter from its text form; FALSE leaves it untouched.
Bool parseFilter(const char *theText, xPL_ServiceFilterPtr theFilter);

}  // namespace xpl::internal
#endif

#endif  // XPL_PRIV_H
