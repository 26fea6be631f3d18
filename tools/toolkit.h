// Pieces the tools share: command-line handling with the usual texts and exit
// statuses, checks of identifier parts, and xPL messages as text.
#ifndef ZUD_TOOLS_TOOLKIT_H
#define ZUD_TOOLS_TOOLKIT_H

#include <strings.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "commandline.h"
#include "xPL.h"

namespace toolkit {

using commandline::exitFailure;
using commandline::exitOk;
using commandline::exitOnHelpOrVersion;
using commandline::exitUsage;
using commandline::wholenumber;

// ---------------------------------------------------------------------------
// Command line

// Prints "PROGRAM: WHAT" on standard error.
inline void complain(const char *program, const std::string &what) {
  std::fprintf(stderr, "%s: %s\n", program, what.c_str());
}

// Prints "PROGRAM: WHAT" and a pointer to --help on standard error, then exits with status 2.
[[noreturn]] inline void usageError(const char *program, const std::string &what) {
  complain(program, what);
  std::fprintf(stderr, "Try '%s --help' for more information.\n", program);
  std::exit(exitUsage);
}

// The complaint about an option given without its value.
inline std::string missingValueText(const std::string &option) { return option + " needs a value"; }

// The argument after argv[*i], moving *i onto it; nullptr (and *i unchanged) when there is none.
inline const char *nextArgument(int argc, char **argv, int *i) {
  if (*i + 1 >= argc) return nullptr;
  return argv[++*i];
}

// The value of the option argv[*i], moving *i onto it; a usage error when it is missing.
inline const char *optionValue(const char *program, int argc, char **argv, int *i) {
  const char *value = nextArgument(argc, argv, i);
  if (value == nullptr) usageError(program, missingValueText(argv[*i]));
  return value;
}

// A usage error for "-interface" at the end: the library would otherwise take whatever comes
// next, or nothing.
inline void checkInterfaceArgument(const char *program, int argc, char **argv) {
  if (argc > 1 && std::string(argv[argc - 1]) == "-interface")
    usageError(program, "-interface needs an interface name");
}

// ---------------------------------------------------------------------------
// Identifiers and schemas

// Whether text is not empty and holds only visible characters (no blanks or controls).
inline bool isVisibleWord(const std::string &text) {
  if (text.empty()) return false;
  for (unsigned char c : text) {
    if (c <= 32 || c >= 127) return false;
  }
  return true;
}

// Whether text can be an identifier part: a visible word without the characters that delimit
// identities and blocks.
inline bool isValidIdentifierPart(const std::string &text) {
  return isVisibleWord(text) && text.find_first_of("{}=!") == std::string::npos;
}

// Whether text holds a character that would break the line structure of a message.
inline bool hasControlCharacter(const std::string &text) {
  for (unsigned char c : text) {
    if (c < 32 || c == 127) return true;
  }
  return false;
}

// An xPL identity, VENDOR-DEVICE.INSTANCE.
struct Identity {
  std::string vendor;
  std::string device;
  std::string instance;
  bool hasInstance = false;  // whether the text had a "." after the device
  // VENDOR-DEVICE.INSTANCE again.
  std::string text() const { return vendor + "-" + device + "." + instance; }
};

// Splits "VENDOR-DEVICE[.INSTANCE]": the vendor runs to the first "-", the device to the next
// ".", the instance is the rest; false without a "-".
inline bool splitIdentity(const std::string &text, Identity *identity) {
  size_t dash = text.find('-');
  if (dash == std::string::npos) return false;
  size_t dot = text.find('.', dash + 1);
  identity->vendor = text.substr(0, dash);
  identity->device = text.substr(dash + 1, dot == std::string::npos ? dot : dot - dash - 1);
  identity->hasInstance = dot != std::string::npos;
  identity->instance = identity->hasInstance ? text.substr(dot + 1) : "";
  return true;
}

// A schema, CLASS.TYPE.
struct Schema {
  std::string schemaClass;
  std::string schemaType;
  bool hasType = false;  // whether the text had a "."
};

// Splits "CLASS[.TYPE]" at the first ".".
inline Schema splitSchema(const std::string &text) {
  Schema schema;
  size_t dot = text.find('.');
  schema.schemaClass = text.substr(0, dot);
  schema.hasType = dot != std::string::npos;
  if (schema.hasType) schema.schemaType = text.substr(dot + 1);
  return schema;
}

// ---------------------------------------------------------------------------
// Messages as text

// What every type name starts with in message text.
constexpr char typePrefix[] = "xpl-";
constexpr size_t typePrefixLength = sizeof typePrefix - 1;

struct TypeName {
  xPL_MessageType type;
  const char *name;
};

// The three message types with their names in message text.
constexpr TypeName typeNames[] = {
    {xPL_MESSAGE_COMMAND, "xpl-cmnd"},
    {xPL_MESSAGE_STATUS, "xpl-stat"},
    {xPL_MESSAGE_TRIGGER, "xpl-trig"},
};

// "xpl-cmnd", "xpl-stat" or "xpl-trig"; "xpl-?" for any other type.
inline const char *typeName(xPL_MessageType type) {
  for (const TypeName &entry : typeNames) {
    if (entry.type == type) return entry.name;
  }
  return "xpl-?";
}

// Reads cmnd, stat or trig, with or without "xpl-" before it, in any case; false for other text.
inline bool parseTypeName(const std::string &text, xPL_MessageType *type) {
  const char *bare = text.c_str();
  if (strncasecmp(bare, typePrefix, typePrefixLength) == 0) bare += typePrefixLength;
  for (const TypeName &entry : typeNames) {
    if (strcasecmp(bare, entry.name + typePrefixLength) == 0) {
      *type = entry.type;
      return true;
    }
  }
  return false;
}

// Whether text is there and equals wanted, ignoring case.
inline bool equalsIgnoringCase(const char *text, const char *wanted) {
  return text != nullptr && strcasecmp(text, wanted) == 0;
}

// The text, or `missing` for a null pointer.
inline std::string textOr(const char *text, const char *missing = "") {
  return text != nullptr ? text : missing;
}

// The sender of a message as VENDOR-DEVICE.INSTANCE, absent parts as `missing`.
inline std::string sourceText(xPL_MessagePtr message, const char *missing = "") {
  return textOr(xPL_getSourceVendor(message), missing) + "-" +
         textOr(xPL_getSourceDeviceID(message), missing) + "." +
         textOr(xPL_getSourceInstanceID(message), missing);
}

// The target of a message: "*", the group, or VENDOR-DEVICE.INSTANCE.
inline std::string targetText(xPL_MessagePtr message) {
  if (xPL_isBroadcastMessage(message)) return "*";
  if (xPL_isGroupMessage(message)) return textOr(xPL_getTargetGroup(message));
  return textOr(xPL_getTargetVendor(message)) + "-" + textOr(xPL_getTargetDeviceID(message)) + "." +
         textOr(xPL_getTargetInstanceID(message));
}

// The schema of a message as CLASS.TYPE, absent parts as `missing`.
inline std::string schemaText(xPL_MessagePtr message, const char *missing = "") {
  return textOr(xPL_getSchemaClass(message), missing) + "." +
         textOr(xPL_getSchemaType(message), missing);
}

// The value of a body pair as text: the text itself (empty when absent), or the bytes of a
// binary value in upper-case hexadecimal, as binary values travel.
inline std::string pairValueText(xPL_NameValuePairPtr pair) {
  if (!pair->isBinary) return textOr(pair->itemValue);
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string hex;
  const auto *bytes = reinterpret_cast<const unsigned char *>(pair->itemValue);
  for (int i = 0; bytes != nullptr && i < pair->binaryLength; i++) {
    hex += digits[bytes[i] >> 4];
    hex += digits[bytes[i] & 0x0F];
  }
  return hex;
}

// The local time as "YYYY-MM-DD HH:MM:SS".
inline std::string timestamp() {
  char text[32];
  std::time_t now = std::time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace toolkit

#endif  // ZUD_TOOLS_TOOLKIT_H
