// xPL-message.cpp -- the message model: type, source, target, schema and
// body of a message, its creation as sent or received, and its release.
//
// A message to send borrows its three source strings from whoever sends it
// (a service, which stamps its identity); a received message owns every
// string it holds.  The record goes back to its pool at release, its emptied
// body still attached for the next use.
#include <cstdarg>

#include "xPL_priv.h"

namespace {

// Stores theValue in *theField unless it already holds the same text ignoring
// case, in which case the stored spelling stays.  An absent value clears the
// field.  Returns whether the field changed.
bool setStringField(String *theField, const char *theValue) {
  if (*theField != nullptr && theValue != nullptr &&
      xPL_strcmpIgnoreCase(*theField, theValue) == 0) {
    return false;
  }
  if (*theField == nullptr && theValue == nullptr) return false;
  xPL_FreeStr(*theField);
  *theField = xPL_StrDup(theValue);
  return true;
}

// A target part that changed drops a group target: the two forms exclude
// each other.
void setTargetField(xPL_MessagePtr theMessage, String *theField, const char *theValue) {
  if (!setStringField(theField, theValue)) return;
  if (theMessage->isGroupMessage) {
    xPL_FreeStr(theMessage->groupName);
    theMessage->groupName = nullptr;
    theMessage->isGroupMessage = FALSE;
  }
}

void releaseString(String *theField) {
  xpl::internal::releaseString(*theField);
  *theField = nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Message fields
// ---------------------------------------------------------------------------

void xPL_setMessageType(xPL_MessagePtr theMessage, xPL_MessageType theMessageType) {
  theMessage->messageType = theMessageType;
}

xPL_MessageType xPL_getMessageType(xPL_MessagePtr theMessage) { return theMessage->messageType; }

int xPL_getHopCount(xPL_MessagePtr theMessage) { return theMessage->hopCount; }

Bool xPL_isReceivedMessage(xPL_MessagePtr theMessage) { return theMessage->receivedMessage; }

void xPL_setBroadcastMessage(xPL_MessagePtr theMessage, Bool isBroadcast) {
  theMessage->isBroadcastMessage = isBroadcast;
}

Bool xPL_isBroadcastMessage(xPL_MessagePtr theMessage) { return theMessage->isBroadcastMessage; }

void xPL_setTargetGroup(xPL_MessagePtr theMessage, const char *theGroup) {
  if (theGroup == nullptr) {
    releaseString(&theMessage->groupName);
    theMessage->isGroupMessage = FALSE;
    return;
  }
  if (theMessage->groupName != nullptr &&
      xPL_strcmpIgnoreCase(theMessage->groupName, theGroup) == 0) {
    return;
  }
  releaseString(&theMessage->targetVendor);
  releaseString(&theMessage->targetDeviceID);
  releaseString(&theMessage->targetInstanceID);
  releaseString(&theMessage->groupName);
  theMessage->isGroupMessage = TRUE;
  theMessage->groupName = xPL_StrDup(theGroup);
}

String xPL_getTargetGroup(xPL_MessagePtr theMessage) { return theMessage->groupName; }

Bool xPL_isGroupMessage(xPL_MessagePtr theMessage) { return theMessage->isGroupMessage; }

void xPL_setTargetVendor(xPL_MessagePtr theMessage, const char *theVendor) {
  setTargetField(theMessage, &theMessage->targetVendor, theVendor);
}

void xPL_setTargetDeviceID(xPL_MessagePtr theMessage, const char *theDeviceID) {
  setTargetField(theMessage, &theMessage->targetDeviceID, theDeviceID);
}

void xPL_setTargetInstanceID(xPL_MessagePtr theMessage, const char *theInstanceID) {
  setTargetField(theMessage, &theMessage->targetInstanceID, theInstanceID);
}

void xPL_setTarget(xPL_MessagePtr theMessage, const char *theVendor, const char *theDeviceID,
                   const char *theInstanceID) {
  xPL_setTargetVendor(theMessage, theVendor);
  xPL_setTargetDeviceID(theMessage, theDeviceID);
  xPL_setTargetInstanceID(theMessage, theInstanceID);
}

String xPL_getTargetVendor(xPL_MessagePtr theMessage) { return theMessage->targetVendor; }

String xPL_getTargetDeviceID(xPL_MessagePtr theMessage) { return theMessage->targetDeviceID; }

String xPL_getTargetInstanceID(xPL_MessagePtr theMessage) { return theMessage->targetInstanceID; }

// A created message borrows its source from its service; only a received
// message owns (and may change) its source strings.
void xPL_setSourceVendor(xPL_MessagePtr theMessage, const char *theVendor) {
  if (theMessage->receivedMessage) setStringField(&theMessage->sourceVendor, theVendor);
}

void xPL_setSourceDeviceID(xPL_MessagePtr theMessage, const char *theDeviceID) {
  if (theMessage->receivedMessage) setStringField(&theMessage->sourceDeviceID, theDeviceID);
}

void xPL_setSourceInstanceID(xPL_MessagePtr theMessage, const char *theInstanceID) {
  if (theMessage->receivedMessage) setStringField(&theMessage->sourceInstanceID, theInstanceID);
}

void xPL_setSource(xPL_MessagePtr theMessage, const char *theVendor, const char *theDeviceID,
                   const char *theInstanceID) {
  if (!theMessage->receivedMessage) return;
  xPL_setSourceVendor(theMessage, theVendor);
  xPL_setSourceDeviceID(theMessage, theDeviceID);
  xPL_setSourceInstanceID(theMessage, theInstanceID);
}

String xPL_getSourceVendor(xPL_MessagePtr theMessage) { return theMessage->sourceVendor; }

String xPL_getSourceDeviceID(xPL_MessagePtr theMessage) { return theMessage->sourceDeviceID; }

String xPL_getSourceInstanceID(xPL_MessagePtr theMessage) { return theMessage->sourceInstanceID; }

void xPL_setSchemaClass(xPL_MessagePtr theMessage, const char *theSchemaClass) {
  setStringField(&theMessage->schemaClass, theSchemaClass);
}

void xPL_setSchemaType(xPL_MessagePtr theMessage, const char *theSchemaType) {
  setStringField(&theMessage->schemaType, theSchemaType);
}

void xPL_setSchema(xPL_MessagePtr theMessage, const char *theSchemaClass,
                   const char *theSchemaType) {
  xPL_setSchemaClass(theMessage, theSchemaClass);
  xPL_setSchemaType(theMessage, theSchemaType);
}

String xPL_getSchemaClass(xPL_MessagePtr theMessage) { return theMessage->schemaClass; }

String xPL_getSchemaType(xPL_MessagePtr theMessage) { return theMessage->schemaType; }

// ---------------------------------------------------------------------------
// Message body
// ---------------------------------------------------------------------------

xPL_NameValueListPtr xPL_getMessageBody(xPL_MessagePtr theMessage) {
  return theMessage->messageBody;
}

void xPL_addMessageNamedValue(xPL_MessagePtr theMessage, const char *theName,
                              const char *theValue) {
  if (theMessage->messageBody == nullptr) theMessage->messageBody = xPL_newNamedValueList();
  xPL_addNamedValue(theMessage->messageBody, theName, theValue);
}

void xPL_setMessageNamedValue(xPL_MessagePtr theMessage, const char *theName,
                              const char *theValue) {
  if (theMessage->messageBody == nullptr) {
    xPL_addMessageNamedValue(theMessage, theName, theValue);
    return;
  }
  xPL_setNamedValue(theMessage->messageBody, theName, theValue);
}

void xPL_setMessageNamedValues(xPL_MessagePtr theMessage, ...) {
  va_list theArgs;
  va_start(theArgs, theMessage);
  for (;;) {
    const char *theName = va_arg(theArgs, const char *);
    if (theName == nullptr) break;
    const char *theValue = va_arg(theArgs, const char *);
    xPL_setMessageNamedValue(theMessage, theName, theValue);
  }
  va_end(theArgs);
}

String xPL_getMessageNamedValue(xPL_MessagePtr theMessage, const char *theName) {
  if (theMessage->messageBody == nullptr) return nullptr;
  return xPL_getNamedValue(theMessage->messageBody, theName);
}

Bool xPL_doesMessageNamedValueExist(xPL_MessagePtr theMessage, const char *theName) {
  if (theMessage->messageBody == nullptr) return FALSE;
  return xPL_doesNamedValueExist(theMessage->messageBody, theName);
}

void xPL_clearMessageNamedValues(xPL_MessagePtr theMessage) {
  xPL_clearAllNamedValues(theMessage->messageBody);
}

// ---------------------------------------------------------------------------
// Creation and release
// ---------------------------------------------------------------------------

xPL_MessagePtr xpl::internal::createSendableMessage(xPL_MessageType theType,
                                                    const char *sourceVendor,
                                                    const char *sourceDeviceID,
                                                    const char *sourceInstanceID) {
  xPL_MessagePtr theMessage = xPL_AllocMessage();
  theMessage->messageType = theType;
  theMessage->hopCount = 1;
  theMessage->receivedMessage = FALSE;
  // Borrowed, not copied: the sender owns its identity strings.
  theMessage->sourceVendor = const_cast<String>(sourceVendor);
  theMessage->sourceDeviceID = const_cast<String>(sourceDeviceID);
  theMessage->sourceInstanceID = const_cast<String>(sourceInstanceID);
  return theMessage;
}

xPL_MessagePtr xpl::internal::createReceivedMessage(xPL_MessageType theType) {
  xPL_MessagePtr theMessage = xPL_AllocMessage();
  theMessage->messageType = theType;
  theMessage->receivedMessage = TRUE;
  if (theMessage->messageBody == nullptr) theMessage->messageBody = xPL_newNamedValueList();
  return theMessage;
}

void xPL_releaseMessage(xPL_MessagePtr theMessage) {
  if (theMessage == nullptr) return;
  // Every message received passes here: its lines are tested for first.
  const bool debugging = xpl::internal::debugging();
  if (debugging) {
    xPL_Debug("Releasing message, TYPE=%d, RECEIVED=%d",
              static_cast<int>(theMessage->messageType), theMessage->receivedMessage ? 1 : 0);
  }

  if (theMessage->receivedMessage) {
    releaseString(&theMessage->sourceVendor);
    releaseString(&theMessage->sourceDeviceID);
    releaseString(&theMessage->sourceInstanceID);
    if (debugging) xPL_Debug("Releasing received messages SOURCE parameters");
  } else {
    // Borrowed from the service, which still owns them.
    theMessage->sourceVendor = nullptr;
    theMessage->sourceDeviceID = nullptr;
    theMessage->sourceInstanceID = nullptr;
    if (debugging) xPL_Debug("NULLing out transmitted messages SOURCE parameters");
  }

  theMessage->isBroadcastMessage = FALSE;
  releaseString(&theMessage->targetVendor);
  releaseString(&theMessage->targetDeviceID);
  releaseString(&theMessage->targetInstanceID);
  theMessage->isGroupMessage = FALSE;
  releaseString(&theMessage->groupName);
  releaseString(&theMessage->schemaClass);
  releaseString(&theMessage->schemaType);
  // The emptied body stays attached for the record's next use.
  xPL_clearAllNamedValues(theMessage->messageBody);
  theMessage->messageType = xPL_MESSAGE_ANY;
  theMessage->hopCount = 0;
  theMessage->receivedMessage = FALSE;
  xPL_FreeMessage(theMessage);
}

