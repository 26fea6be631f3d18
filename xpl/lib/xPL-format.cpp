// xPL-format.cpp -- the xPL message text format: formatting a message into
// its text, and parsing a text into a received message.
//
// A message is two blocks of "name=value" lines: a header block whose title
// is the message type (hop count, source, target) and a body block whose
// title is the schema.  Formatting assembles the text in one static buffer
// without allocating; parsing reads it back into a received message whose
// strings all come from the pools.
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "xPL_priv.h"

namespace {

// ---------------------------------------------------------------------------
// State
// ---------------------------------------------------------------------------

constexpr int kMessageBuffSize = 2048;
constexpr int kBlockHeaderSize = 128;
constexpr int kBlockNameSize = 256;
constexpr int kBlockValueSize = 1500;
static_assert(MSG_MAX_SIZE <= kMessageBuffSize, "outgoing text must fit the message buffer");

// Outgoing text under assembly.
char messageBuff[kMessageBuffSize];
int messageBytesWritten = 0;

// The block being parsed.  Each holds at most its size - 1 characters;
// longer text is rejected rather than cut.
char blockHeaderBuff[kBlockHeaderSize];
char blockNameBuff[kBlockNameSize];
char blockValueBuff[kBlockValueSize];

// The header keyword of each message type, by type number.
constexpr const char *kTypeKeywords[] = {nullptr, "xpl-cmnd", "xpl-stat", "xpl-trig"};
static_assert(sizeof(kTypeKeywords) / sizeof(kTypeKeywords[0]) == xPL_MESSAGE_TRIGGER + 1,
              "one keyword per message type");

// The prefix of a group target on the wire and in a received message.
constexpr std::string_view kGroupPrefix = "XPL-GROUP.";
static_assert(kGroupPrefix.size() == 10, "group prefix is XPL-GROUP.");

// ---------------------------------------------------------------------------
// Formatting
// ---------------------------------------------------------------------------

bool appendText(std::string_view theText) {
  if (messageBytesWritten + static_cast<int>(theText.size()) >= MSG_MAX_SIZE) {
    xPL_Debug("Message exceeds MSG_MAX_SIZE (%d) -- not sent!", MSG_MAX_SIZE);
    xPL_Debug("** Too Long Message is, to date [%s]", messageBuff);
    return false;
  }
  memcpy(messageBuff + messageBytesWritten, theText.data(), theText.size());
  messageBytesWritten += static_cast<int>(theText.size());
  messageBuff[messageBytesWritten] = '\0';
  return true;
}

bool appendText(const char *theText) {
  return appendText(theText == nullptr ? std::string_view() : std::string_view(theText));
}

bool writeBinaryValue(const xPL_NameValuePair &thePair) {
  const auto *theBytes = reinterpret_cast<const unsigned char *>(thePair.itemValue);
  for (int i = 0; i < thePair.binaryLength; i++) {
    if (!appendText(xPL_intToHex(theBytes[i]))) return false;
  }
  return true;
}

bool appendAll(std::initializer_list<const char *> thePieces) {
  for (const char *thePiece : thePieces) {
    if (!appendText(thePiece)) return false;
  }
  return true;
}

// The parts without which the text would carry "(null)" or an empty address.
bool hasFormattableParts(xPL_MessagePtr theMessage) {
  if (theMessage->sourceVendor == nullptr || theMessage->sourceDeviceID == nullptr ||
      theMessage->sourceInstanceID == nullptr) {
    xPL_Debug("Unable to format message -- source vendor, device or instance is missing");
    return false;
  }
  if (theMessage->isBroadcastMessage) {
    // The target parts are not written.
  } else if (theMessage->isGroupMessage) {
    if (theMessage->groupName == nullptr) {
      xPL_Debug("Unable to format message -- target group is missing");
      return false;
    }
  } else if (theMessage->targetVendor == nullptr || theMessage->targetDeviceID == nullptr ||
             theMessage->targetInstanceID == nullptr) {
    xPL_Debug("Unable to format message -- target vendor, device or instance is missing");
    return false;
  }
  if (theMessage->schemaClass == nullptr || theMessage->schemaType == nullptr) {
    xPL_Debug("Unable to format message -- schema class or type is missing");
    return false;
  }
  return true;
}

bool formatInto(xPL_MessagePtr theMessage, const char *theKeyword) {
  if (!appendAll({theKeyword, "\n{\nhop=1\nsource=", theMessage->sourceVendor, "-",
                  theMessage->sourceDeviceID, ".", theMessage->sourceInstanceID, "\n"})) {
    return false;
  }

  bool targetWritten;
  if (theMessage->isBroadcastMessage) {
    targetWritten = appendText("target=*");
  } else if (theMessage->isGroupMessage) {
    targetWritten = appendAll({"target=XPL-GROUP.", theMessage->groupName});
  } else {
    targetWritten = appendAll({"target=", theMessage->targetVendor, "-",
                               theMessage->targetDeviceID, ".", theMessage->targetInstanceID});
  }
  if (!targetWritten) return false;

  if (!appendAll({"\n}\n", theMessage->schemaClass, ".", theMessage->schemaType, "\n{\n"})) {
    return false;
  }

  const int pairCount = xPL_getNamedValueCount(theMessage->messageBody);
  for (int i = 0; i < pairCount; i++) {
    const xPL_NameValuePair &thePair = *theMessage->messageBody->namedValues[i];
    if (!appendAll({thePair.itemName, "="})) return false;
    if (thePair.isBinary) {
      if (!writeBinaryValue(thePair)) return false;
    } else if (thePair.itemValue != nullptr) {
      if (!appendText(thePair.itemValue)) return false;
    }
    if (!appendText("\n")) return false;
  }
  return appendText("}\n");
}

// ---------------------------------------------------------------------------
// Parsing
// ---------------------------------------------------------------------------

// Characters that cannot stand in a header, name or value are kept as '|'.
inline char mapBlockChar(char theChar) {
  const auto code = static_cast<signed char>(theChar);
  return (code < 32 || code > 'z') ? '|' : theChar;
}

// Hexadecimal text to a block of bytes from the general allocator.
bool textToBinary(const char *theText, String *theBlock, int *binaryLength) {
  const size_t textLength = strlen(theText);
  const size_t byteCount = textLength / 2;
  // An odd length ends in a pair whose second character is the terminator,
  // which the conversion below rejects.
  auto *theBytes = static_cast<unsigned char *>(malloc(byteCount + (textLength % 2)));
  for (size_t i = 0; i * 2 < textLength; i++) {
    int theValue = 0;
    if (!xPL_hexToInt(theText + i * 2, &theValue)) {
      free(theBytes);
      return false;
    }
    theBytes[i] = static_cast<unsigned char>(theValue);
  }
  *theBlock = reinterpret_cast<String>(theBytes);
  *binaryLength = static_cast<int>(byteCount);
  return true;
}

enum class BlockState { header, open, afterOpen, name, value, close };

// Reads one block ("header\n{\nname=value\n...}\n") from theText into theList.
// Returns the characters consumed when a block was read, 0 when the text held
// only skippable characters, and minus the failing position on an error.
// *theHeader receives a pool copy of the header only on success.
int parseBlock(const char *theText, String *theHeader, xPL_NameValueListPtr theList) {
  BlockState theState = BlockState::header;
  bool headerStarted = false;
  bool isBinary = false;
  int headerLength = 0;
  int nameLength = 0;
  int valueLength = 0;
  int thePosition = 0;

  for (; theText[thePosition] != '\0'; thePosition++) {
    const char theChar = theText[thePosition];
    switch (theState) {
      case BlockState::header:
        if (theChar == '\n' && headerStarted) {
          blockHeaderBuff[headerLength] = '\0';
          theState = BlockState::open;
        } else if (!headerStarted && static_cast<signed char>(theChar) <= 32) {
          // Blanks, line feeds and control bytes before a block are skipped.
        } else {
          if (headerLength == kBlockHeaderSize - 1) {
            xPL_Debug("Block header longer than %d characters at position %d - bad message",
                      kBlockHeaderSize - 1, thePosition);
            return -thePosition;
          }
          blockHeaderBuff[headerLength++] = mapBlockChar(theChar);
          headerStarted = true;
        }
        break;

      case BlockState::open:
        if (theChar != '{') {
          xPL_Debug("Got invalid character parsing start of block - %c at position %d (wanted a {)",
                    theChar, thePosition);
          return -thePosition;
        }
        theState = BlockState::afterOpen;
        break;

      case BlockState::afterOpen:
        if (theChar != '\n') {
          xPL_Debug(
              "Got invalid character parsing start of block -  %c at position %d (wanted a LF)",
              theChar, thePosition);
          return -thePosition;
        }
        nameLength = 0;
        theState = BlockState::name;
        break;

      case BlockState::name:
        if (theChar == '=' || theChar == '!') {
          blockNameBuff[nameLength] = '\0';
          isBinary = theChar == '!';
          valueLength = 0;
          theState = BlockState::value;
        } else if (theChar == '}') {
          theState = BlockState::close;
        } else {
          if (nameLength == kBlockNameSize - 1) {
            xPL_Debug("Name longer than %d characters at position %d - bad message",
                      kBlockNameSize - 1, thePosition);
            return -thePosition;
          }
          blockNameBuff[nameLength++] = mapBlockChar(theChar);
        }
        break;

      case BlockState::value:
        if (theChar == '\n') {
          blockValueBuff[valueLength] = '\0';
          if (isBinary) {
            String theBlock = nullptr;
            int binaryLength = 0;
            if (!textToBinary(blockValueBuff, &theBlock, &binaryLength)) {
              xPL_Debug("Unable to xlate binary value for name %s", blockNameBuff);
              return -thePosition;
            }
            xPL_NameValuePairPtr thePair = xPL_newNamedValuePair(theList, blockNameBuff);
            thePair->isBinary = TRUE;
            thePair->itemValue = theBlock;
            thePair->binaryLength = binaryLength;
          } else {
            xPL_NameValuePairPtr thePair = xPL_newNamedValuePair(theList, blockNameBuff);
            thePair->itemValue = xPL_StrDup(blockValueBuff);
          }
          nameLength = 0;
          theState = BlockState::name;
        } else {
          if (valueLength == kBlockValueSize - 1) {
            xPL_Debug("Value longer than %d characters at position %d - bad message",
                      kBlockValueSize - 1, thePosition);
            return -thePosition;
          }
          blockValueBuff[valueLength++] = mapBlockChar(theChar);
        }
        break;

      case BlockState::close:
        if (theChar != '\n') {
          xPL_Debug(
              "Got invalid character parsing end of name/value -  %c at position %d (wanted a LF)",
              theChar, thePosition);
          return -thePosition;
        }
        *theHeader = xPL_StrDup(blockHeaderBuff);
        return thePosition + 1;
    }
  }

  if (!headerStarted) return 0;
  xPL_Debug("Ran out of characters parsing block");
  return -thePosition;
}

// The text of a header entry.  An entry in binary form has no terminator
// and cannot be read as text, so it is refused like a malformed one.
bool getHeaderText(xPL_NameValueListPtr theList, const char *theName, const char *upperName,
                   const char *missingText, String *theText) {
  xPL_NameValuePairPtr thePair = xPL_getNamedValuePair(theList, theName);
  if (thePair == nullptr) {
    xPL_Debug("%s", missingText);
    return false;
  }
  if (thePair->isBinary || thePair->itemValue == nullptr) {
    xPL_Debug("Message %s entry is not text - bad message", upperName);
    return false;
  }
  *theText = thePair->itemValue;
  return true;
}

// Positions of the '-' ending the vendor and the '.' ending the device.
struct AddressSplit {
  size_t dash;
  size_t dot;
};

// Splits "vendor-device.instance"; logs with theWhat ("SOURCE"/"TARGET").
bool splitAddress(const char *theAddress, const char *theWhat, AddressSplit *theSplit) {
  const std::string_view theText(theAddress);
  const size_t theDash = theText.find('-');
  if (theDash == std::string_view::npos) {
    xPL_Debug("%s Missing Device ID - %s", theWhat, theAddress);
    return false;
  }
  const size_t theDot = theText.find('.', theDash + 1);
  if (theDot == std::string_view::npos) {
    const std::string_view theVendor = theText.substr(0, theDash);
    xPL_Debug("%s Missing Instance ID - %.*s.%s", theWhat, static_cast<int>(theVendor.size()),
              theVendor.data(), theAddress + theDash + 1);
    return false;
  }
  theSplit->dash = theDash;
  theSplit->dot = theDot;
  return true;
}

// Calls theSetter with the three parts of theAddress, cutting the text in
// place for the call and restoring it afterwards.
template <typename Setter>
void withAddressParts(String theAddress, const AddressSplit &theSplit, Setter theSetter) {
  theAddress[theSplit.dash] = '\0';
  theAddress[theSplit.dot] = '\0';
  theSetter(theAddress, theAddress + theSplit.dash + 1, theAddress + theSplit.dot + 1);
  theAddress[theSplit.dash] = '-';
  theAddress[theSplit.dot] = '.';
}

bool parseMessageHeader(xPL_MessagePtr theMessage, xPL_NameValueListPtr theList) {
  String hopText = nullptr;
  if (!getHeaderText(theList, "hop", "HOP", "Message missing HOP count", &hopText)) return false;
  int hopCount = 0;
  if (!xPL_strToInt(hopText, &hopCount) || hopCount <= 0) {
    xPL_Debug("Message HOP Count invalid");
    return false;
  }
  theMessage->hopCount = hopCount;

  String sourceText = nullptr;
  if (!getHeaderText(theList, "source", "SOURCE", "Message missing SOURCE", &sourceText)) {
    return false;
  }
  AddressSplit theSplit{};
  if (!splitAddress(sourceText, "SOURCE", &theSplit)) return false;
  withAddressParts(sourceText, theSplit,
                   [theMessage](const char *theVendor, const char *theDevice,
                                const char *theInstance) {
                     xPL_setSource(theMessage, theVendor, theDevice, theInstance);
                   });

  String targetText = nullptr;
  if (!getHeaderText(theList, "target", "TARGET", "Message missing TARGET", &targetText)) {
    return false;
  }
  if (strcmp(targetText, "*") == 0) {
    theMessage->isBroadcastMessage = TRUE;
    return true;
  }
  if (!splitAddress(targetText, "TARGET", &theSplit)) return false;
  withAddressParts(targetText, theSplit,
                   [theMessage](const char *theVendor, const char *theDevice,
                                const char *theInstance) {
                     if (xPL_strcmpIgnoreCase(theVendor, "XPL") == 0 &&
                         xPL_strcmpIgnoreCase(theDevice, "GROUP") == 0) {
                       // The whole received name is kept, prefix included, so
                       // that it compares with the configured group texts.
                       // The vendor and device are exactly "XPL" and "GROUP"
                       // in some case, so the prefix fits where they stood.
                       char *theGroup = const_cast<char *>(theVendor);
                       char savedText[kGroupPrefix.size()];
                       memcpy(savedText, theGroup, kGroupPrefix.size());
                       memcpy(theGroup, kGroupPrefix.data(), kGroupPrefix.size());
                       xPL_setTargetGroup(theMessage, theGroup);
                       memcpy(theGroup, savedText, kGroupPrefix.size());
                     } else {
                       xPL_setTarget(theMessage, theVendor, theDevice, theInstance);
                     }
                   });
  return true;
}

xPL_MessageType keywordToType(const char *theKeyword) {
  if (xPL_strcmpIgnoreCase(theKeyword, "XPL-CMND") == 0) return xPL_MESSAGE_COMMAND;
  if (xPL_strcmpIgnoreCase(theKeyword, "XPL-STAT") == 0) return xPL_MESSAGE_STATUS;
  if (xPL_strcmpIgnoreCase(theKeyword, "XPL-TRIG") == 0) return xPL_MESSAGE_TRIGGER;
  return xPL_MESSAGE_ANY;
}

}  // namespace

// ---------------------------------------------------------------------------
// Formatting
// ---------------------------------------------------------------------------

String xPL_formatMessage(xPL_MessagePtr theMessage) {
  messageBytesWritten = 0;
  messageBuff[0] = '\0';
  if (theMessage == nullptr) return nullptr;

  const xPL_MessageType theType = theMessage->messageType;
  if (theType != xPL_MESSAGE_COMMAND && theType != xPL_MESSAGE_STATUS &&
      theType != xPL_MESSAGE_TRIGGER) {
    xPL_Debug("Unable to format message -- invalid/unknown message type %d",
              static_cast<int>(theType));
    return nullptr;
  }
  if (!hasFormattableParts(theMessage)) return nullptr;
  if (!formatInto(theMessage, kTypeKeywords[theType])) return nullptr;
  return messageBuff;
}

int xpl::internal::formattedLength() { return messageBytesWritten; }

// ---------------------------------------------------------------------------
// Parsing
// ---------------------------------------------------------------------------

xPL_MessagePtr xPL_parseMessage(const char *theText) {
  xPL_MessagePtr theMessage = xpl::internal::createReceivedMessage(xPL_MESSAGE_ANY);
  String blockHeader = nullptr;

  const int headerEnd = parseBlock(theText, &blockHeader, theMessage->messageBody);
  if (headerEnd <= 0) {
    xPL_Debug("Error parsing message header");
    xPL_releaseMessage(theMessage);
    return nullptr;
  }

  theMessage->messageType = keywordToType(blockHeader);
  if (theMessage->messageType == xPL_MESSAGE_ANY) {
    xPL_Debug("Unknown message header of %s - bad message", blockHeader);
    xPL_FreeStr(blockHeader);
    xPL_releaseMessage(theMessage);
    return nullptr;
  }
  xPL_FreeStr(blockHeader);
  blockHeader = nullptr;

  if (!parseMessageHeader(theMessage, theMessage->messageBody)) {
    xPL_Debug("Unable to parse message header");
    xPL_releaseMessage(theMessage);
    return nullptr;
  }

  // The header entries are done with; the body block takes their place.
  xPL_clearAllNamedValues(theMessage->messageBody);
  const int bodyLength = parseBlock(theText + headerEnd, &blockHeader, theMessage->messageBody);
  if (bodyLength < 0) {
    xPL_Debug("Error parsing message block");
    xPL_releaseMessage(theMessage);
    return nullptr;
  }
  // Everything downstream (hub echo, service routing) needs a schema.
  if (bodyLength == 0) {
    xPL_Debug("Message has no schema block - bad message");
    xPL_releaseMessage(theMessage);
    return nullptr;
  }

  char *theDot = strchr(blockHeader, '.');
  if (theDot == nullptr) {
    xPL_Debug("Malformed message block header - %s", blockHeader);
    xPL_FreeStr(blockHeader);
    xPL_releaseMessage(theMessage);
    return nullptr;
  }
  *theDot = '\0';
  xPL_setSchemaClass(theMessage, blockHeader);
  xPL_setSchemaType(theMessage, theDot + 1);
  *theDot = '.';
  xPL_FreeStr(blockHeader);
  return theMessage;
}
