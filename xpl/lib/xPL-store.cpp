// Placeholder until this unit is written: every operation does nothing.
#include "xPL_priv.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"


xPL_NameValuePairPtr xPL_AllocNVPair(void) { return 0; }
void xPL_FreeNVPair(xPL_NameValuePairPtr thePair) {  }
xPL_NameValueListPtr xPL_AllocNVList(void) { return 0; }
void xPL_FreeNVList(xPL_NameValueListPtr theList) {  }
xPL_MessagePtr xPL_AllocMessage(void) { return 0; }
void xPL_FreeMessage(xPL_MessagePtr theMessage) {  }
xPL_ServicePtr xPL_AllocService(void) { return 0; }
void xPL_FreeService(xPL_ServicePtr theService) {  }
String xPL_StrAlloc(int theLength) { return 0; }
String xPL_StrDup(const char *theOrigString) { return 0; }
String xPL_StrNDup(const char *theOrigString, int maxChars) { return 0; }
void xPL_FreeStr(String theString) {  }
