// xPL-namevalue.cpp -- name/value lists: ordered pairs whose names may
// repeat and match ignoring case, the body of every message and the carrier
// of configurations.
#include <cstdarg>
#include <cstdlib>

#include "xPL_priv.h"
#include "xPL_table.h"

namespace {

constexpr int kListGrowBy = 8;
static_assert(kListGrowBy > 0, "a list must grow when full");

xpl::internal::Table<xPL_NameValuePairPtr> pairsOf(xPL_NameValueListPtr theList) {
  return {theList->namedValues, theList->namedValueCount, theList->namedValueAlloc, kListGrowBy};
}

void releasePairValue(xPL_NameValuePairPtr thePair) {
  if (thePair->isBinary) {
    free(thePair->itemValue);
    thePair->isBinary = FALSE;
    thePair->binaryLength = 0;
  } else {
    xpl::internal::releaseString(thePair->itemValue);
  }
  thePair->itemValue = nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Name/value lists
// ---------------------------------------------------------------------------

xPL_NameValueListPtr xPL_newNamedValueList(void) { return xPL_AllocNVList(); }

void xPL_freeNamedValueList(xPL_NameValueListPtr theList) {
  if (theList == nullptr) return;
  if (theList->namedValues != nullptr) xPL_clearAllNamedValues(theList);
  xPL_FreeNVList(theList);
}

xPL_NameValuePairPtr xPL_newNamedValuePair(xPL_NameValueListPtr theList, const char *theName) {
  xPL_NameValuePairPtr thePair = xpl::internal::appendNamedValuePair(theList);
  thePair->itemName = xPL_StrDup(theName);
  return thePair;
}

xPL_NameValuePairPtr xpl::internal::appendNamedValuePair(xPL_NameValueListPtr theList) {
  xPL_NameValuePairPtr &theSlot = pairsOf(theList).append();
  theSlot = xPL_AllocNVPair();
  return theSlot;
}

void xPL_addNamedValue(xPL_NameValueListPtr theList, const char *theName, const char *theValue) {
  xPL_NameValuePairPtr thePair = xPL_newNamedValuePair(theList, theName);
  thePair->itemValue = xPL_StrDup(theValue);
}

void xPL_setNamedValue(xPL_NameValueListPtr theList, const char *theName, const char *theValue) {
  xPL_NameValuePairPtr thePair = xPL_getNamedValuePair(theList, theName);
  if (thePair == nullptr) {
    xPL_addNamedValue(theList, theName, theValue);
    return;
  }
  releasePairValue(thePair);
  thePair->itemValue = xPL_StrDup(theValue);
}

void xPL_setNamedValues(xPL_NameValueListPtr theList, ...) {
  va_list theArgs;
  va_start(theArgs, theList);
  for (;;) {
    const char *theName = va_arg(theArgs, const char *);
    if (theName == nullptr) break;
    const char *theValue = va_arg(theArgs, const char *);
    xPL_setNamedValue(theList, theName, theValue);
  }
  va_end(theArgs);
}

int xPL_getNamedValueIndex(xPL_NameValueListPtr theList, const char *theName) {
  if (theList == nullptr || theName == nullptr) return -1;
  for (int i = 0; i < theList->namedValueCount; i++) {
    const char *itemName = theList->namedValues[i]->itemName;
    if (itemName != nullptr && xPL_strcmpIgnoreCase(itemName, theName) == 0) return i;
  }
  return -1;
}

xPL_NameValuePairPtr xPL_getNamedValuePair(xPL_NameValueListPtr theList, const char *theName) {
  const int theIndex = xPL_getNamedValueIndex(theList, theName);
  return theIndex < 0 ? nullptr : theList->namedValues[theIndex];
}

String xPL_getNamedValue(xPL_NameValueListPtr theList, const char *theName) {
  xPL_NameValuePairPtr thePair = xPL_getNamedValuePair(theList, theName);
  if (thePair == nullptr || thePair->isBinary) return nullptr;
  return thePair->itemValue;
}

Bool xPL_doesNamedValueExist(xPL_NameValueListPtr theList, const char *theName) {
  return xPL_getNamedValueIndex(theList, theName) >= 0 ? TRUE : FALSE;
}

int xPL_getNamedValueCount(xPL_NameValueListPtr theList) {
  return theList == nullptr ? 0 : theList->namedValueCount;
}

xPL_NameValuePairPtr xPL_getNamedValuePairAt(xPL_NameValueListPtr theList, int theIndex) {
  if (theList == nullptr || theIndex < 0 || theIndex >= theList->namedValueCount) return nullptr;
  return theList->namedValues[theIndex];
}

void xPL_clearNamedValueAt(xPL_NameValueListPtr theList, int theIndex) {
  if (theList == nullptr || theList->namedValues == nullptr) return;
  if (theIndex < 0 || theIndex >= theList->namedValueCount) return;
  xPL_freeNamedValuePair(theList->namedValues[theIndex]);
  pairsOf(theList).removeAt(theIndex);
}

void xPL_clearNamedValue(xPL_NameValueListPtr theList, const char *theName) {
  for (int theIndex = xPL_getNamedValueIndex(theList, theName); theIndex >= 0;
       theIndex = xPL_getNamedValueIndex(theList, theName)) {
    xPL_clearNamedValueAt(theList, theIndex);
  }
}

void xPL_clearAllNamedValues(xPL_NameValueListPtr theList) {
  if (theList == nullptr || theList->namedValueCount == 0) return;
  for (int i = 0; i < theList->namedValueCount; i++) {
    xPL_freeNamedValuePair(theList->namedValues[i]);
  }
  pairsOf(theList).clear();
}

void xPL_freeNamedValuePair(xPL_NameValuePairPtr thePair) {
  if (thePair == nullptr) return;
  xpl::internal::releaseString(thePair->itemName);
  thePair->itemName = nullptr;
  releasePairValue(thePair);
  xPL_FreeNVPair(thePair);
}

int xPL_getNamedValueCapacity(xPL_NameValueListPtr theList) {
  return theList == nullptr ? 0 : theList->namedValueAlloc;
}
