/*
 * xPL.h -- the public interface of the xPL library.
 *
 * The library is single-threaded: every operation runs on the thread of the
 * event loop (xPL_processMessages).  Records and strings are drawn from
 * recycling pools and handed back to them; a getter returns the record's own
 * string, which the caller neither frees nor keeps past the record's release.
 * Failures are reported by a FALSE or NULL result and a log line.
 *
 * Usable from C and C++.
 */
#ifndef XPL_H
#define XPL_H

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Basic types
 * ------------------------------------------------------------------------ */

typedef char *String;
typedef int Bool;
#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

/* An opaque user value handed back unchanged to callbacks. */
typedef void *xPL_ObjectPtr;

typedef enum {
  xPL_MESSAGE_ANY = 0,
  xPL_MESSAGE_COMMAND = 1,
  xPL_MESSAGE_STATUS = 2,
  xPL_MESSAGE_TRIGGER = 3
} xPL_MessageType;

typedef enum { xcStandAlone = 0, xcViaHub = 1, xcAuto = 2 } xPL_ConnectType;

typedef enum {
  xPL_CONFIG_OPTIONAL = 0,  /* keyword "option" */
  xPL_CONFIG_MANDATORY = 1, /* keyword "config" */
  xPL_CONFIG_RECONF = 2     /* keyword "reconf" */
} xPL_ConfigurableType;

/* ------------------------------------------------------------------------
 * Records
 * ------------------------------------------------------------------------ */

/* One name/value pair.  A text value is a pool string; a binary value is a
 * block of binaryLength bytes from the general allocator. */
typedef struct _xPL_NameValuePair {
  String itemName;
  String itemValue;
  Bool isBinary;
  int binaryLength;
} xPL_NameValuePair, *xPL_NameValuePairPtr;

/* An ordered list of pairs; names may repeat and match ignoring case. */
typedef struct _xPL_NameValueList {
  int namedValueCount;
  int namedValueAlloc;
  xPL_NameValuePairPtr *namedValues;
} xPL_NameValueList, *xPL_NameValueListPtr;

/* One xPL message.  A created message borrows its three source strings from
 * its service; a received message owns every string it holds. */
typedef struct _xPL_Message {
  xPL_MessageType messageType;
  int hopCount;
  Bool receivedMessage;
  String sourceVendor;
  String sourceDeviceID;
  String sourceInstanceID;
  Bool isGroupMessage;
  String groupName;
  Bool isBroadcastMessage;
  String targetVendor;
  String targetDeviceID;
  String targetInstanceID;
  String schemaClass;
  String schemaType;
  xPL_NameValueListPtr messageBody;
} xPL_Message, *xPL_MessagePtr;

typedef struct _xPL_Service xPL_Service, *xPL_ServicePtr;

/* ------------------------------------------------------------------------
 * Callbacks
 * ------------------------------------------------------------------------ */

/* Event-loop handler: (descriptor, returned poll events, user value). */
typedef void (*xPL_IOHandler)(int theFD, int thePollInfo, int userValue);
/* Timeout handler: (seconds since it last ran, user value). */
typedef void (*xPL_TimeoutHandler)(int elapsedSeconds, xPL_ObjectPtr userValue);
/* One-shot timer handler: (the user value it was armed with). */
typedef void (*xPL_TimerHandler)(xPL_ObjectPtr userValue);
/* Raw listener: (datagram text, its length in bytes, user value). */
typedef void (*xPL_rawListener)(String theData, int dataLen, xPL_ObjectPtr userValue);
/* Message listener: (received message, user value). */
typedef void (*xPL_messageListener)(xPL_MessagePtr theMessage, xPL_ObjectPtr userValue);
/* Service listener: (service, received message, user value). */
typedef void (*xPL_ServiceListener)(xPL_ServicePtr theService, xPL_MessagePtr theMessage,
                                    xPL_ObjectPtr userValue);
/* Configuration-changed listener: (service, user value). */
typedef void (*xPL_ServiceConfigChangedListener)(xPL_ServicePtr theService,
                                                 xPL_ObjectPtr userValue);

/* A broadcast filter; absent strings match anything. */
typedef struct _xPL_ServiceFilter {
  xPL_MessageType matchOnMessageType;
  String matchOnVendor;
  String matchOnDeviceID;
  String matchOnInstanceID;
  String matchOnSchemaClass;
  String matchOnSchemaType;
} xPL_ServiceFilter, *xPL_ServiceFilterPtr;

/* One configurable item with its values. */
typedef struct _xPL_ServiceConfigurable {
  String itemName;
  xPL_ConfigurableType itemType;
  int maxValueCount;
  int valueCount;
  int valueAllocCount;
  String *valueList;
} xPL_ServiceConfigurable, *xPL_ServiceConfigurablePtr;

/* One service listener, narrowed to a message type and schema. */
typedef struct _xPL_ServiceListenerDef {
  xPL_MessageType matchMessageType;
  String matchSchemaClass;
  String matchSchemaType;
  xPL_ObjectPtr userValue;
  xPL_ServiceListener serviceListener;
} xPL_ServiceListenerDef, *xPL_ServiceListenerDefPtr;

/* One configuration-changed listener. */
typedef struct _xPL_ServiceChangedListenerDef {
  xPL_ServiceConfigChangedListener changeListener;
  xPL_ObjectPtr userValue;
} xPL_ServiceChangedListenerDef, *xPL_ServiceChangedListenerDefPtr;

/* One xPL device instance on the network. */
struct _xPL_Service {
  Bool serviceEnabled;
  String serviceVendor;
  String serviceDeviceID;
  String serviceInstanceID;
  String serviceVersion;

  int groupCount;
  int groupAllocCount;
  String *groupList;

  Bool ignoreBroadcasts;

  int heartbeatInterval;
  time_t lastHeartbeatAt;
  xPL_MessagePtr heartbeatMessage;

  Bool configurableService;
  Bool serviceConfigured;
  String configFileName;

  int configChangedCount;
  int configChangedAllocCount;
  xPL_ServiceChangedListenerDefPtr changedListenerList;

  int configCount;
  int configAllocCount;
  xPL_ServiceConfigurablePtr configList;

  int filterCount;
  int filterAllocCount;
  xPL_ServiceFilterPtr messageFilterList;

  Bool reportOwnMessages;

  int listenerCount;
  int listenerAllocCount;
  xPL_ServiceListenerDefPtr serviceListenerList;
};

/* ------------------------------------------------------------------------
 * Logging and text helpers (xPL-utils)
 * ------------------------------------------------------------------------ */

/* Debug logging switch; FALSE at start. */
extern Bool xPL_DebugMode;

/* Logs one time-stamped "xPL_DEBUG: " line on stderr, only while debugging. */
void xPL_Debug(const char *theFormat, ...) __attribute__((format(printf, 1, 2)));
/* Logs one time-stamped "ERROR: " line on stderr, always. */
void xPL_Error(const char *theFormat, ...) __attribute__((format(printf, 1, 2)));
/* Whether debug logging is on. */
Bool xPL_isDebugging(void);
/* Turns debug logging on or off. */
void xPL_setDebugging(Bool isDebugging);

/* Upper-cases the letters a-z of target in place. */
void xPL_Upcase(String target);
/* -1, 0 or 1: shorter orders first, then bytewise with a-z folded. */
int xPL_strcmpIgnoreCase(const char *textA, const char *textB);
/* As xPL_strcmpIgnoreCase on at most the first maxChars of each text. */
int xPL_strncmpIgnoreCase(const char *textA, const char *textB, int maxChars);
/* Two upper-case hex digits of theValue in a shared static buffer. */
String xPL_intToHex(int theValue);
/* Reads exactly two upper-case hex digits; FALSE leaves *theValue alone. */
Bool xPL_hexToInt(const char *theHexValue, int *theValue);
/* Reads a whole decimal text (empty = 0); FALSE leaves *theResult alone. */
Bool xPL_strToInt(const char *theValue, int *theResult);
/* Decimal text of theValue in a shared static buffer. */
String xPL_intToStr(int theValue);

/* ------------------------------------------------------------------------
 * Recycling pools (xPL-store)
 * ------------------------------------------------------------------------ */

/* A cleared pair from the pool. */
xPL_NameValuePairPtr xPL_AllocNVPair(void);
/* Returns a pair whose strings were already released. */
void xPL_FreeNVPair(xPL_NameValuePairPtr thePair);
/* An empty list from the pool; a reused list keeps its slot array. */
xPL_NameValueListPtr xPL_AllocNVList(void);
/* Returns an emptied list to the pool. */
void xPL_FreeNVList(xPL_NameValueListPtr theList);
/* A message record: new and zeroed, or as its releaser reset it. */
xPL_MessagePtr xPL_AllocMessage(void);
/* Returns a reset message record to the pool. */
void xPL_FreeMessage(xPL_MessagePtr theMessage);
/* A zeroed service record from the pool. */
xPL_ServicePtr xPL_AllocService(void);
/* Returns a service record to the pool. */
void xPL_FreeService(xPL_ServicePtr theService);

/* A buffer for theLength characters, first byte NUL; NULL if negative. */
String xPL_StrAlloc(int theLength);
/* A pool copy of the text; NULL for NULL. */
String xPL_StrDup(const char *theOrigString);
/* A pool copy of at most maxChars characters, terminated; NULL for NULL. */
String xPL_StrNDup(const char *theOrigString, int maxChars);
/* Returns a library string to the pool; NULL is ignored. */
void xPL_FreeStr(String theString);

/* ------------------------------------------------------------------------
 * Name/value lists (xPL-namevalue)
 * ------------------------------------------------------------------------ */

/* An empty list from the pool. */
xPL_NameValueListPtr xPL_newNamedValueList(void);
/* Releases every pair and the list itself; NULL is ignored. */
void xPL_freeNamedValueList(xPL_NameValueListPtr theList);
/* Appends a pair named theName with no value and returns it. */
xPL_NameValuePairPtr xPL_newNamedValuePair(xPL_NameValueListPtr theList, const char *theName);
/* Appends a pair (even if the name exists); a NULL value stays absent. */
void xPL_addNamedValue(xPL_NameValueListPtr theList, const char *theName, const char *theValue);
/* Replaces the value of the first pair named theName, or appends one. */
void xPL_setNamedValue(xPL_NameValueListPtr theList, const char *theName, const char *theValue);
/* xPL_setNamedValue for each name, value that follows, up to a NULL name. */
void xPL_setNamedValues(xPL_NameValueListPtr theList, ...);
/* Index of the first pair named theName ignoring case; -1 if none. */
int xPL_getNamedValueIndex(xPL_NameValueListPtr theList, const char *theName);
/* The first pair named theName, or NULL. */
xPL_NameValuePairPtr xPL_getNamedValuePair(xPL_NameValueListPtr theList, const char *theName);
/* Text value of the first pair named theName; NULL if none, binary or absent. */
String xPL_getNamedValue(xPL_NameValueListPtr theList, const char *theName);
/* Whether a pair named theName exists (an absent value still counts). */
Bool xPL_doesNamedValueExist(xPL_NameValueListPtr theList, const char *theName);
/* Number of pairs; 0 for a NULL list. */
int xPL_getNamedValueCount(xPL_NameValueListPtr theList);
/* The pair at theIndex, or NULL when out of range. */
xPL_NameValuePairPtr xPL_getNamedValuePairAt(xPL_NameValueListPtr theList, int theIndex);
/* Removes the pair at theIndex, keeping the order of the rest. */
void xPL_clearNamedValueAt(xPL_NameValueListPtr theList, int theIndex);
/* Removes every pair named theName. */
void xPL_clearNamedValue(xPL_NameValueListPtr theList, const char *theName);
/* Removes every pair; the list keeps its slot array. */
void xPL_clearAllNamedValues(xPL_NameValueListPtr theList);
/* Releases the pair's name and value and returns the pair to its pool. */
void xPL_freeNamedValuePair(xPL_NameValuePairPtr thePair);

/* ------------------------------------------------------------------------
 * Messages (model: xPL-message; text: xPL-format; creation from a service:
 * xPL-service; sending: xPL-transport; receiving: xPL-receive)
 * ------------------------------------------------------------------------ */

/* Sets the message type. */
void xPL_setMessageType(xPL_MessagePtr theMessage, xPL_MessageType theMessageType);
/* The message type. */
xPL_MessageType xPL_getMessageType(xPL_MessagePtr theMessage);
/* The hop count: 1 when created, as received when parsed. */
int xPL_getHopCount(xPL_MessagePtr theMessage);
/* Whether the parser made this message. */
Bool xPL_isReceivedMessage(xPL_MessagePtr theMessage);

/* Sets or clears the broadcast flag; nothing else changes. */
void xPL_setBroadcastMessage(xPL_MessagePtr theMessage, Bool isBroadcast);
/* Whether the target is everyone. */
Bool xPL_isBroadcastMessage(xPL_MessagePtr theMessage);
/* Makes the message a group message (drops a device target); NULL clears. */
void xPL_setTargetGroup(xPL_MessagePtr theMessage, const char *theGroup);
/* The group target, or NULL. */
String xPL_getTargetGroup(xPL_MessagePtr theMessage);
/* Whether the target is a group. */
Bool xPL_isGroupMessage(xPL_MessagePtr theMessage);
/* Sets the target vendor; a change drops a group target. */
void xPL_setTargetVendor(xPL_MessagePtr theMessage, const char *theVendor);
/* Sets the target device ID; a change drops a group target. */
void xPL_setTargetDeviceID(xPL_MessagePtr theMessage, const char *theDeviceID);
/* Sets the target instance ID; a change drops a group target. */
void xPL_setTargetInstanceID(xPL_MessagePtr theMessage, const char *theInstanceID);
/* Sets vendor, device and instance of the target in that order. */
void xPL_setTarget(xPL_MessagePtr theMessage, const char *theVendor, const char *theDeviceID,
                   const char *theInstanceID);
/* The target vendor, or NULL. */
String xPL_getTargetVendor(xPL_MessagePtr theMessage);
/* The target device ID, or NULL. */
String xPL_getTargetDeviceID(xPL_MessagePtr theMessage);
/* The target instance ID, or NULL. */
String xPL_getTargetInstanceID(xPL_MessagePtr theMessage);

/* Sets the source vendor of a received message; no effect on a created one. */
void xPL_setSourceVendor(xPL_MessagePtr theMessage, const char *theVendor);
/* Sets the source device ID of a received message; no effect on a created one. */
void xPL_setSourceDeviceID(xPL_MessagePtr theMessage, const char *theDeviceID);
/* Sets the source instance ID of a received message; no effect on a created one. */
void xPL_setSourceInstanceID(xPL_MessagePtr theMessage, const char *theInstanceID);
/* Sets the three source parts of a received message. */
void xPL_setSource(xPL_MessagePtr theMessage, const char *theVendor, const char *theDeviceID,
                   const char *theInstanceID);
/* The source vendor, or NULL. */
String xPL_getSourceVendor(xPL_MessagePtr theMessage);
/* The source device ID, or NULL. */
String xPL_getSourceDeviceID(xPL_MessagePtr theMessage);
/* The source instance ID, or NULL. */
String xPL_getSourceInstanceID(xPL_MessagePtr theMessage);

/* Sets the schema class (kept when equal ignoring case). */
void xPL_setSchemaClass(xPL_MessagePtr theMessage, const char *theSchemaClass);
/* Sets the schema type (kept when equal ignoring case). */
void xPL_setSchemaType(xPL_MessagePtr theMessage, const char *theSchemaType);
/* Sets schema class and type. */
void xPL_setSchema(xPL_MessagePtr theMessage, const char *theSchemaClass,
                   const char *theSchemaType);
/* The schema class, or NULL. */
String xPL_getSchemaClass(xPL_MessagePtr theMessage);
/* The schema type, or NULL. */
String xPL_getSchemaType(xPL_MessagePtr theMessage);

/* The body list, or NULL when the message has none yet. */
xPL_NameValueListPtr xPL_getMessageBody(xPL_MessagePtr theMessage);
/* Appends a body pair (creating the body if needed). */
void xPL_addMessageNamedValue(xPL_MessagePtr theMessage, const char *theName,
                              const char *theValue);
/* Replaces the first body pair of that name, or appends one. */
void xPL_setMessageNamedValue(xPL_MessagePtr theMessage, const char *theName,
                              const char *theValue);
/* xPL_setMessageNamedValue for each name, value that follows, up to a NULL name. */
void xPL_setMessageNamedValues(xPL_MessagePtr theMessage, ...);
/* Text value of the first body pair of that name, or NULL. */
String xPL_getMessageNamedValue(xPL_MessagePtr theMessage, const char *theName);
/* Whether a body pair of that name exists. */
Bool xPL_doesMessageNamedValueExist(xPL_MessagePtr theMessage, const char *theName);
/* Removes every body pair. */
void xPL_clearMessageNamedValues(xPL_MessagePtr theMessage);

/* A message from theService to one device. */
xPL_MessagePtr xPL_createTargetedMessage(xPL_ServicePtr theService, xPL_MessageType theType,
                                         const char *theVendor, const char *theDeviceID,
                                         const char *theInstanceID);
/* A message from theService to a group (bare group name). */
xPL_MessagePtr xPL_createGroupTargetedMessage(xPL_ServicePtr theService,
                                              xPL_MessageType theType, const char *theGroup);
/* A message from theService to everyone. */
xPL_MessagePtr xPL_createBroadcastMessage(xPL_ServicePtr theService, xPL_MessageType theType);
/* Resets the message and returns it to the pool. */
void xPL_releaseMessage(xPL_MessagePtr theMessage);

/* The xPL text of the message in a static buffer (valid until the next
 * formatting), or NULL for an unknown type, a missing part or text that would
 * reach 1500 characters. */
String xPL_formatMessage(xPL_MessagePtr theMessage);
/* Formats and broadcasts the message; TRUE when the datagram left whole. */
Bool xPL_sendMessage(xPL_MessagePtr theMessage);
/* A received message parsed from theText, or NULL when the text is rejected. */
xPL_MessagePtr xPL_parseMessage(const char *theText);
/* The same under its older name. */
static inline xPL_MessagePtr parseMessage(const char *theText) { return xPL_parseMessage(theText); }
/* Listener-socket handler: drains, parses and dispatches every waiting datagram. */
void xPL_receiveMessage(int theFD, int thePollInfo, int userValue);
/* Whether the hub's echo of our own heartbeat has been seen. */
Bool xPL_isHubConfirmed(void);

/* ------------------------------------------------------------------------
 * Transport (xPL-transport; start-up and shutdown: xPL-start)
 * ------------------------------------------------------------------------ */

/* The listener socket; -1 while the library is stopped. */
extern int xPLFD;

/* Takes "-interface NAME" and "-xpldebug" out of the arguments; always TRUE. */
Bool xPL_parseCommonArgs(int *argc, char **argv, Bool silentErrors);
/* The connection type for start-up: always xcViaHub. */
xPL_ConnectType xPL_getParsedConnectionType(void);
/* Opens both sockets and registers the receive and service handlers;
 * FALSE when already started or a step failed. */
Bool xPL_initialize(xPL_ConnectType theConnectType);
/* Why the last xPL_initialize failed, as one line of text without a line
 * feed (the system's error text included); empty after a successful start. */
String xPL_getStartupFailure(void);
/* Disables all services, closes both sockets; FALSE when not started. */
Bool xPL_shutdown(void);
/* Sends dataLen bytes as one broadcast datagram; TRUE when sent whole. */
Bool xPL_sendRawMessage(const char *theData, int dataLen);
/* The listener socket (xPLFD). */
int xPL_getFD(void);
/* The mode the last successful start-up reached. */
xPL_ConnectType xPL_getConnectType(void);
/* The listener's port: 3865, or the system's choice in hub mode. */
int xPL_getPort(void);
/* The broadcast address as dotted text (static, overwritten by the next call). */
String xPL_getBroadcastIPAddr(void);
/* The interface address as dotted text (static, overwritten by the next call). */
String xPL_getListenerIPAddr(void);
/* The interface name (empty until set or chosen). */
String xPL_getBroadcastInterface(void);
/* Sets the interface name while stopped; a name over 15 characters is refused. */
void xPL_setBroadcastInterface(const char *newInterfaceName);
/* A new 16-character identifier; the caller releases it with xPL_FreeStr. */
String xPL_getFairlyUniqueIdent(void);

/* ------------------------------------------------------------------------
 * Event loop (xPL-loop)
 * ------------------------------------------------------------------------ */

/* Watches theFD for the chosen events; FALSE when no event is chosen. */
Bool xPL_addIODevice(xPL_IOHandler theIOHandler, int userValue, int theFD, Bool watchRead,
                     Bool watchWrite, Bool watchError);
/* Stops watching the oldest entry of theFD (it is not closed); FALSE if absent.
 * A removed device is never called again, even later in the same pass. */
Bool xPL_removeIODevice(int theFD);
/* Calls timeoutHandler at most once per check, every timeoutInSeconds. */
void xPL_addTimeoutHandler(xPL_TimeoutHandler timeoutHandler, int timeoutInSeconds,
                           xPL_ObjectPtr userValue);
/* Removes the oldest entry of timeoutHandler; FALSE if absent.  A removed
 * handler is never called again, even later in the same check. */
Bool xPL_removeTimeoutHandler(xPL_TimeoutHandler timeoutHandler);
/* Arms a timer that calls theHandler once, theMilliseconds (monotonic) from
 * now; the loop's wait is cut short for it. */
void xPL_addTimer(xPL_TimerHandler theHandler, int theMilliseconds, xPL_ObjectPtr userValue);
/* Disarms the oldest pending timer of theHandler with userValue; FALSE if none. */
Bool xPL_removeTimer(xPL_TimerHandler theHandler, xPL_ObjectPtr userValue);
/* Whether a timer of theHandler with userValue is still pending. */
Bool xPL_isTimerPending(xPL_TimerHandler theHandler, xPL_ObjectPtr userValue);
/* Runs the event loop: theTimeout ms of quiet (-1 = until shutdown, 0 = only
 * what is pending).  Always returns FALSE; when it ends while the library is
 * still started, poll() failed and errno holds the reason. */
Bool xPL_processMessages(int theTimeout);

/* ------------------------------------------------------------------------
 * Listener registries (xPL-listeners; per service: xPL-servicelisteners)
 * ------------------------------------------------------------------------ */

/* Registers a raw listener (every datagram, before parsing). */
void xPL_addRawListener(xPL_rawListener theHandler, xPL_ObjectPtr userValue);
/* Removes the oldest registration of theHandler; FALSE if absent. */
Bool xPL_removeRawListener(xPL_rawListener theHandler);
/* Calls every raw listener, newest first; FALSE if none was called. */
Bool xPL_dispatchRawEvent(String theData, int dataLen);
/* Registers a message listener (every parsed inbound message). */
void xPL_addMessageListener(xPL_messageListener theHandler, xPL_ObjectPtr userValue);
/* Removes the oldest registration of theHandler; FALSE if absent. */
Bool xPL_removeMessageListener(xPL_messageListener theHandler);
/* Calls every message listener, newest first; FALSE if none was called. */
Bool xPL_dispatchMessageEvent(xPL_MessagePtr theMessage);
/* Registers a service listener for a type (ANY = all) and schema (NULL or "" = all). */
void xPL_addServiceListener(xPL_ServicePtr theService, xPL_ServiceListener theListener,
                            xPL_MessageType messageType, const char *schemaClass,
                            const char *schemaType, xPL_ObjectPtr userValue);
/* Removes the oldest registration of theListener; FALSE if absent. */
Bool xPL_removeServiceListener(xPL_ServicePtr theService, xPL_ServiceListener theListener);
/* Calls the matching service listeners, newest first; FALSE if none matched. */
Bool xPL_dispatchServiceEvent(xPL_ServicePtr theService, xPL_MessagePtr theMessage);
/* Registers a configuration-changed listener. */
void xPL_addServiceConfigChangedListener(xPL_ServicePtr theService,
                                         xPL_ServiceConfigChangedListener theListener,
                                         xPL_ObjectPtr userValue);
/* Removes the oldest registration of theListener; FALSE if absent. */
Bool xPL_removeServiceConfigChangedListener(xPL_ServicePtr theService,
                                            xPL_ServiceConfigChangedListener theListener);
/* Calls every configuration-changed listener, newest first; FALSE if none. */
Bool xPL_dispatchServiceConfigChangedEvent(xPL_ServicePtr theService);

/* ------------------------------------------------------------------------
 * Services (xPL-service)
 * ------------------------------------------------------------------------ */

/* A new disabled service; a NULL instance ID gets a fresh identifier. */
xPL_ServicePtr xPL_createService(const char *theVendor, const char *theDeviceID,
                                 const char *theInstanceID);
/* Disables the service, releases all it owns and returns it to the pool. */
void xPL_releaseService(xPL_ServicePtr theService);
/* Number of services. */
int xPL_getServiceCount(void);
/* The service at theIndex in creation order, or NULL. */
xPL_ServicePtr xPL_getServiceAt(int theIndex);
/* Enabling sends a heartbeat and starts the schedule; disabling says goodbye. */
void xPL_setServiceEnabled(xPL_ServicePtr theService, Bool isEnabled);
/* Whether the service is enabled. */
Bool xPL_isServiceEnabled(xPL_ServicePtr theService);
/* Sets the vendor ID (an enabled service says goodbye, then hello). */
void xPL_setServiceVendor(xPL_ServicePtr theService, const char *theVendor);
/* Sets the device ID (an enabled service says goodbye, then hello). */
void xPL_setServiceDeviceID(xPL_ServicePtr theService, const char *theDeviceID);
/* Sets the instance ID (an enabled service says goodbye, then hello). */
void xPL_setServiceInstanceID(xPL_ServicePtr theService, const char *theInstanceID);
/* The service's own vendor ID. */
String xPL_getServiceVendor(xPL_ServicePtr theService);
/* The service's own device ID. */
String xPL_getServiceDeviceID(xPL_ServicePtr theService);
/* The service's own instance ID. */
String xPL_getServiceInstanceID(xPL_ServicePtr theService);
/* Sets the version announced in heartbeats; NULL or empty clears it. */
void xPL_setServiceVersion(xPL_ServicePtr theService, const char *theVersion);
/* The version text, or NULL. */
String xPL_getServiceVersion(xPL_ServicePtr theService);
/* Whether the service hears its own messages. */
void xPL_setReportOwnMessages(xPL_ServicePtr theService, Bool reportOwnMessages);
/* Whether the service hears its own messages. */
Bool xPL_isReportOwnMessages(xPL_ServicePtr theService);
/* FALSE: the service no longer answers broadcast heartbeat requests. */
void xPL_setRespondingToBroadcasts(xPL_ServicePtr theService, Bool respondToBroadcasts);
/* The broadcast-response flag. */
Bool xPL_isRespondingToBroadcasts(xPL_ServicePtr theService);
/* Sets the heartbeat interval in seconds when within 0..172800. */
void xPL_setHeartbeatInterval(xPL_ServicePtr theService, int newInterval);
/* The heartbeat interval in seconds. */
int xPL_getHeartbeatInterval(xPL_ServicePtr theService);
/* Whether the service has broadcast filters. */
Bool xPL_isServiceFiltered(xPL_ServicePtr theService);
/* Removes every filter (storage kept). */
void xPL_clearServiceFilters(xPL_ServicePtr theService);
/* Whether the service belongs to any group. */
Bool xPL_doesServiceHaveGroups(xPL_ServicePtr theService);
/* Removes every group (storage kept). */
void xPL_clearServiceGroups(xPL_ServicePtr theService);
/* Sends the (cached) heartbeat now; TRUE when sent. */
Bool xPL_sendHeartbeat(xPL_ServicePtr theService);
/* Sends a goodbye heartbeat now; TRUE when sent. */
Bool xPL_sendGoodbyeHeartbeat(xPL_ServicePtr theService);
/* Sends every heartbeat that is due. */
void xPL_sendTimelyHeartbeats(void);
/* Stamps the service's identity as source and sends; FALSE if either is NULL. */
Bool xPL_sendServiceMessage(xPL_ServicePtr theService, xPL_MessagePtr theMessage);
/* Disables every service (each says goodbye). */
void xPL_disableAllServices(void);
/* Message listener that routes an inbound message to every service. */
void xPL_handleServiceMessage(xPL_MessagePtr theMessage, xPL_ObjectPtr userValue);

/* ------------------------------------------------------------------------
 * Configurable services (xPL-config, xPL-configitems)
 * ------------------------------------------------------------------------ */

/* A disabled configurable service, loaded from theConfigFile when it exists. */
xPL_ServicePtr xPL_createConfigurableService(const char *theVendor, const char *theDeviceID,
                                             const char *theConfigFile);
/* Whether the service takes part in the configuration protocol. */
Bool xPL_isConfigurableService(xPL_ServicePtr theService);
/* Whether a configuration was received or loaded. */
Bool xPL_isServiceConfigured(xPL_ServicePtr theService);
/* The item named itemName ignoring case, or NULL. */
xPL_ServiceConfigurablePtr xPL_findServiceConfigurable(xPL_ServicePtr theService,
                                                       const char *itemName);
/* Declares an item while disabled; FALSE if it exists or the service is enabled. */
Bool xPL_addServiceConfigurable(xPL_ServicePtr theService, const char *itemName,
                                xPL_ConfigurableType itemType, int maxValueCount);
/* Removes an item while disabled; FALSE if enabled or unknown. */
Bool xPL_removeServiceConfigurable(xPL_ServicePtr theService, const char *itemName);
/* Removes every item while disabled. */
void xPL_removeAllServiceConfigurables(xPL_ServicePtr theService);
/* Frees items, the item array, the file name and the changed-listener array. */
void xPL_releaseServiceConfigurables(xPL_ServicePtr theService);
/* Clears the values of one item. */
void xPL_clearServiceConfigValues(xPL_ServicePtr theService, const char *itemName);
/* Clears the values of every item. */
void xPL_clearAllServiceConfigValues(xPL_ServicePtr theService);
/* Appends a value (NULL = a slot without text); FALSE if unknown, full or locked. */
Bool xPL_addServiceConfigValue(xPL_ServicePtr theService, const char *itemName,
                               const char *itemValue);
/* Replaces the value at valueIndex, or appends when beyond the count. */
void xPL_setServiceConfigValueAt(xPL_ServicePtr theService, const char *itemName,
                                 int valueIndex, const char *itemValue);
/* Replaces the first value (or appends one). */
void xPL_setServiceConfigValue(xPL_ServicePtr theService, const char *itemName,
                               const char *itemValue);
/* Number of values of the item; 0 when unknown. */
int xPL_getServiceConfigValueCount(xPL_ServicePtr theService, const char *itemName);
/* The value at valueIndex, or NULL. */
String xPL_getServiceConfigValueAt(xPL_ServicePtr theService, const char *itemName,
                                   int valueIndex);
/* The first value, or NULL. */
String xPL_getServiceConfigValue(xPL_ServicePtr theService, const char *itemName);
/* The configuration file path, or NULL. */
String xPL_getServiceConfigFile(xPL_ServicePtr theService);

#ifdef __cplusplus
}
#endif

#endif /* XPL_H */
