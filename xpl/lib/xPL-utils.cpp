// xPL-utils.cpp -- logging, text helpers and the clocks (with their test
// hooks): the bottom of the library, which needs nothing from the rest.
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "xPL_priv.h"

Bool xPL_DebugMode = FALSE;

namespace {

// ---------------------------------------------------------------------------
// Logging
// ---------------------------------------------------------------------------

constexpr size_t kLogBufferSize = 512;
constexpr size_t kStampMax = 40;
constexpr size_t kConvertBufferSize = 32;
static_assert(kStampMax + sizeof("xPL_DEBUG: ") + 2 < kLogBufferSize,
              "a log line must have room for its stamp, tag and line feed");

// The one line under assembly, shared by debug and error logging.
char logMessageBuffer[kLogBufferSize];
// Result of xPL_intToHex and xPL_intToStr, valid until the next call.
char convertBuffer[kConvertBufferSize];

// Assembles "stamp tag text\n" and writes it as it stands: the line is never
// formatted twice, so a '%' inside an argument is printed literally.  A text
// too long for the buffer is cut; the line still ends with its line feed.
void writeLogLine(const char *theTag, const char *theFormat, va_list theArgs) {
  const time_t theTime = xPL_now();
  struct tm localTime;
  localtime_r(&theTime, &localTime);

  size_t theLength = strftime(logMessageBuffer, kStampMax + 1, "%y/%m/%d %H:%M:%S ", &localTime);
  const size_t tagLength = strlen(theTag);
  memcpy(logMessageBuffer + theLength, theTag, tagLength);
  theLength += tagLength;

  // Keep the last two bytes for the line feed and the terminator.
  const size_t textRoom = kLogBufferSize - 1 - theLength;
  const int written = vsnprintf(logMessageBuffer + theLength, textRoom, theFormat, theArgs);
  if (written > 0) {
    theLength += static_cast<size_t>(written) < textRoom ? static_cast<size_t>(written)
                                                         : textRoom - 1;
  }
  logMessageBuffer[theLength++] = '\n';
  logMessageBuffer[theLength] = '\0';
  fwrite(logMessageBuffer, 1, theLength, stderr);
}

// ---------------------------------------------------------------------------
// Text helpers
// ---------------------------------------------------------------------------

constexpr char kHexDigits[] = "0123456789ABCDEF";
static_assert(sizeof(kHexDigits) == 17, "sixteen digits and a terminator");

char nibbleToHex(int theValue) {
  if (theValue < 0 || theValue > 15) return '*';
  return kHexDigits[theValue];
}

// Upper-case digits only: the wire form of binary values never uses a-f.
int hexToNibble(char theChar) {
  if (theChar >= '0' && theChar <= '9') return theChar - '0';
  if (theChar >= 'A' && theChar <= 'F') return theChar - 'A' + 10;
  return -1;
}

inline signed char foldCase(char theChar) {
  if (theChar >= 'a' && theChar <= 'z') theChar = static_cast<char>(theChar - 'a' + 'A');
  return static_cast<signed char>(theChar);
}

// Shorter texts order first; equal lengths compare bytewise with a-z folded.
int compareIgnoreCase(const char *textA, size_t lengthA, const char *textB, size_t lengthB) {
  if (lengthA < lengthB) return -1;
  if (lengthA > lengthB) return 1;
  for (size_t i = 0; i < lengthA; i++) {
    const signed char charA = foldCase(textA[i]);
    const signed char charB = foldCase(textB[i]);
    if (charA != charB) return charA < charB ? -1 : 1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Test hooks
// ---------------------------------------------------------------------------

time_t (*clockHook)(void) = nullptr;
long long (*millisecondClockHook)(void) = nullptr;

// The monotonic clock: setting the wall clock moves no timer.
long long monotonicMilliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

// ---------------------------------------------------------------------------
// Logging
// ---------------------------------------------------------------------------

void xPL_Debug(const char *theFormat, ...) {
  if (!xPL_DebugMode) return;
  va_list theArgs;
  va_start(theArgs, theFormat);
  writeLogLine("xPL_DEBUG: ", theFormat, theArgs);
  va_end(theArgs);
}

void xPL_Error(const char *theFormat, ...) {
  va_list theArgs;
  va_start(theArgs, theFormat);
  writeLogLine("ERROR: ", theFormat, theArgs);
  va_end(theArgs);
}

Bool xPL_isDebugging(void) { return xPL_DebugMode; }

void xPL_setDebugging(Bool isDebugging) { xPL_DebugMode = isDebugging; }

// ---------------------------------------------------------------------------
// Text helpers
// ---------------------------------------------------------------------------

void xPL_Upcase(String target) {
  if (target == nullptr) return;
  for (char *thePtr = target; *thePtr != '\0'; thePtr++) {
    if (*thePtr >= 'a' && *thePtr <= 'z') *thePtr = static_cast<char>(*thePtr - 'a' + 'A');
  }
}

int xPL_strcmpIgnoreCase(const char *textA, const char *textB) {
  return compareIgnoreCase(textA, strlen(textA), textB, strlen(textB));
}

int xPL_strncmpIgnoreCase(const char *textA, const char *textB, int maxChars) {
  const size_t theLimit = maxChars < 0 ? 0 : static_cast<size_t>(maxChars);
  return compareIgnoreCase(textA, strnlen(textA, theLimit), textB, strnlen(textB, theLimit));
}

String xPL_intToHex(int theValue) {
  convertBuffer[0] = nibbleToHex((theValue / 16) % 16);
  convertBuffer[1] = nibbleToHex(theValue % 16);
  convertBuffer[2] = '\0';
  return convertBuffer;
}

Bool xPL_hexToInt(const char *theHexValue, int *theValue) {
  // The second character is looked at only when the first is a digit, so a
  // one-character text never reads past its terminator.
  const int highNibble = hexToNibble(theHexValue[0]);
  if (highNibble < 0) return FALSE;
  const int lowNibble = hexToNibble(theHexValue[1]);
  if (lowNibble < 0) return FALSE;
  *theValue = highNibble * 16 + lowNibble;
  return TRUE;
}

Bool xPL_strToInt(const char *theValue, int *theResult) {
  char *theEnd = nullptr;
  long theNumber = strtol(theValue, &theEnd, 10);
  if (*theEnd != '\0') return FALSE;
  if (theNumber > INT_MAX) theNumber = INT_MAX;
  if (theNumber < INT_MIN) theNumber = INT_MIN;
  *theResult = static_cast<int>(theNumber);
  return TRUE;
}

String xPL_intToStr(int theValue) {
  snprintf(convertBuffer, sizeof(convertBuffer), "%d", theValue);
  return convertBuffer;
}

// ---------------------------------------------------------------------------
// Test hooks
// ---------------------------------------------------------------------------

time_t xPL_now(void) { return clockHook != nullptr ? clockHook() : time(nullptr); }

void xPL_setClock(time_t (*theClock)(void)) { clockHook = theClock; }

long long xPL_nowMilliseconds(void) {
  return millisecondClockHook != nullptr ? millisecondClockHook() : monotonicMilliseconds();
}

void xPL_setMillisecondClock(long long (*theClock)(void)) { millisecondClockHook = theClock; }
