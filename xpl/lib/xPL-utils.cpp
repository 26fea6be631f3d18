// Placeholder until this unit is written: every operation does nothing.
#include "xPL_priv.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"


void xPL_Debug(const char *theFormat, ...) {  }
void xPL_Error(const char *theFormat, ...) {  }
Bool xPL_isDebugging(void) { return 0; }
void xPL_setDebugging(Bool isDebugging) {  }
void xPL_Upcase(String target) {  }
int xPL_strcmpIgnoreCase(const char *textA, const char *textB) { return 0; }
int xPL_strncmpIgnoreCase(const char *textA, const char *textB, int maxChars) { return 0; }
String xPL_intToHex(int theValue) { return 0; }
Bool xPL_hexToInt(const char *theHexValue, int *theValue) { return 0; }
Bool xPL_strToInt(const char *theValue, int *theResult) { return 0; }
String xPL_intToStr(int theValue) { return 0; }
xPL_NameValueListPtr xPL_newNamedValueList(void) { return 0; }
void xPL_freeNamedValueList(xPL_NameValueListPtr theList) {  }
xPL_NameValuePairPtr xPL_newNamedValuePair(xPL_NameValueListPtr theList, const char *theName) { return 0; }
void xPL_addNamedValue(xPL_NameValueListPtr theList, const char *theName, const char *theValue) {  }
void xPL_setNamedValue(xPL_NameValueListPtr theList, const char *theName, const char *theValue) {  }
void xPL_setNamedValues(xPL_NameValueListPtr theList, ...) {  }
int xPL_getNamedValueIndex(xPL_NameValueListPtr theList, const char *theName) { return 0; }
xPL_NameValuePairPtr xPL_getNamedValuePair(xPL_NameValueListPtr theList, const char *theName) { return 0; }
String xPL_getNamedValue(xPL_NameValueListPtr theList, const char *theName) { return 0; }
Bool xPL_doesNamedValueExist(xPL_NameValueListPtr theList, const char *theName) { return 0; }
int xPL_getNamedValueCount(xPL_NameValueListPtr theList) { return 0; }
xPL_NameValuePairPtr xPL_getNamedValuePairAt(xPL_NameValueListPtr theList, int theIndex) { return 0; }
void xPL_clearNamedValueAt(xPL_NameValueListPtr theList, int theIndex) {  }
void xPL_clearNamedValue(xPL_NameValueListPtr theList, const char *theName) {  }
void xPL_clearAllNamedValues(xPL_NameValueListPtr theList) {  }
void xPL_freeNamedValuePair(xPL_NameValuePairPtr thePair) {  }
Bool xPL_DebugMode = FALSE;
time_t xPL_now(void) { return time(0); }
void xPL_setClock(time_t (*theClock)(void)) {}
void xPL_sleepMilliseconds(int theMilliseconds) {}
void xPL_setSleeper(void (*theSleeper)(int theMilliseconds)) {}
Bool xPL_parseCommonArgs(int *argc, char **argv, Bool silentErrors) { return 0; }
xPL_ConnectType xPL_getParsedConnectionType(void) { return xcViaHub; }
