// xPL-store.cpp -- recycling pools for the library's records and strings.
//
// Every record (pair, list, message, service) and every library string comes
// from here and goes back here.  Once obtained from the system allocator, an
// item is kept on a per-type free stack and handed out again; only strings
// longer than kMaxPooledLength characters are allocated and freed directly.
// A daemon that runs for months therefore reaches a steady state in which it
// never calls the allocator again.
#include <cstdlib>
#include <cstring>

#include "xPL_priv.h"
#include "xPL_table.h"

// Indexed by length; xPL_priv.h takes and gives back strings inline.
xpl::internal::itemCache xpl::internal::StringCache[maxPooledLength + 1]{};

namespace {

using xpl::internal::debugging;
using xpl::internal::itemCache;
using xpl::internal::StringCache;

constexpr int kMaxPooledLength = xpl::internal::maxPooledLength;
// Free stacks grow by this many slots at a time.
constexpr int kCacheGrowBy = 16;
static_assert(kCacheGrowBy > 0, "a pool must grow when full");

// The free stacks are static records (the string stacks, which the inline
// ways in xPL_priv.h reach, among them), so a pool operation reaches its
// items in two loads; every pool exists from the start and lives as long as
// the process.
itemCache NameValueCache{};
itemCache NameValueListCache{};
itemCache MessageCache{};
itemCache ServiceCache{};

int totalNameValueAlloc = 0;
int totalNameValueListAlloc = 0;
int totalMessageAlloc = 0;
int totalServiceAlloc = 0;

bool isAbsent(const itemCache &theCache) { return theCache.cachedItems == nullptr; }

xpl::internal::Table<void *> freeStack(itemCache &theCache) {
  return {theCache.cachedItems, theCache.cacheCount, theCache.cacheAllocCount, kCacheGrowBy};
}

void releaseItem(itemCache &theCache, void *theItem) { freeStack(theCache).append() = theItem; }

void *allocItem(itemCache &theCache) {
  if (theCache.cacheCount == 0) return nullptr;
  return theCache.cachedItems[--theCache.cacheCount];
}

// A fresh buffer for theLength characters with an empty text.
String newStringBuffer(int theLength) {
  String theString = static_cast<String>(malloc(static_cast<size_t>(theLength) + 1));
  theString[0] = '\0';
  return theString;
}

}  // namespace

// Every pool line is tested for before it is assembled: the pools sit under
// every message parsed and released, and a line nobody reads must cost no
// call.

xPL_NameValuePairPtr xPL_AllocNVPair(void) {
  auto thePair = static_cast<xPL_NameValuePairPtr>(allocItem(NameValueCache));
  if (thePair != nullptr) {
    if (debugging()) {
      xPL_Debug("STORE:: Reused NameValuePair @ %p from cache", static_cast<void *>(thePair));
    }
  } else {
    thePair = static_cast<xPL_NameValuePairPtr>(malloc(sizeof(xPL_NameValuePair)));
    totalNameValueAlloc++;
    xPL_Debug("STORE:: Allocating new xPL_NameValuePair @ %p, now %d pairs allocated",
              static_cast<void *>(thePair), totalNameValueAlloc);
  }
  thePair->itemName = nullptr;
  thePair->itemValue = nullptr;
  thePair->isBinary = FALSE;
  thePair->binaryLength = 0;
  return thePair;
}

void xPL_FreeNVPair(xPL_NameValuePairPtr thePair) {
  if (debugging()) {
    xPL_Debug("STORE:: Releasing NameValuePair @ %p back to cache pool",
              static_cast<void *>(thePair));
  }
  releaseItem(NameValueCache, thePair);
}

xPL_NameValueListPtr xPL_AllocNVList(void) {
  auto theList = static_cast<xPL_NameValueListPtr>(allocItem(NameValueListCache));
  if (theList != nullptr) {
    // The slot array travels with the list so that reuse never reallocates.
    theList->namedValueCount = 0;
    if (debugging()) {
      xPL_Debug("STORE:: Reused NameValueList @ %p from cache", static_cast<void *>(theList));
    }
    return theList;
  }
  theList = static_cast<xPL_NameValueListPtr>(calloc(1, sizeof(xPL_NameValueList)));
  totalNameValueListAlloc++;
  xPL_Debug("STORE:: Allocating new xPL_NameValueList @ %p, now %d lists allocted",
            static_cast<void *>(theList), totalNameValueListAlloc);
  return theList;
}

void xPL_FreeNVList(xPL_NameValueListPtr theList) {
  if (debugging()) {
    xPL_Debug("STORE:: Releasing NameValueList @ %p back to cache pool",
              static_cast<void *>(theList));
  }
  releaseItem(NameValueListCache, theList);
}

xPL_MessagePtr xPL_AllocMessage(void) {
  auto theMessage = static_cast<xPL_MessagePtr>(allocItem(MessageCache));
  if (theMessage != nullptr) {
    // The releaser reset it and left its emptied body attached.
    if (debugging()) {
      xPL_Debug("STORE:: Reused xPL_Message @ %p from cache", static_cast<void *>(theMessage));
    }
    return theMessage;
  }
  theMessage = static_cast<xPL_MessagePtr>(calloc(1, sizeof(xPL_Message)));
  totalMessageAlloc++;
  xPL_Debug("STORE:: Allocated new xPL_Message, now %d messages allocated", totalMessageAlloc);
  return theMessage;
}

void xPL_FreeMessage(xPL_MessagePtr theMessage) {
  if (debugging()) {
    xPL_Debug("STORE:: Relesing xPL_Message @ %p back to cache pool",
              static_cast<void *>(theMessage));
  }
  releaseItem(MessageCache, theMessage);
}

xPL_ServicePtr xPL_AllocService(void) {
  auto theService = static_cast<xPL_ServicePtr>(allocItem(ServiceCache));
  if (theService != nullptr) {
    xPL_Debug("STORE:: Reused xPL_Service @ %p from cache", static_cast<void *>(theService));
  } else {
    theService = static_cast<xPL_ServicePtr>(malloc(sizeof(xPL_Service)));
    totalServiceAlloc++;
    xPL_Debug("STORE:: Allocated new xPL_Service, now %d services allocated",
              totalServiceAlloc);
  }
  memset(static_cast<void *>(theService), 0, sizeof(xPL_Service));
  return theService;
}

void xPL_FreeService(xPL_ServicePtr theService) {
  xPL_Debug("STORE:: Releasing xPL_Service @ %p back to cache pool",
            static_cast<void *>(theService));
  releaseItem(ServiceCache, theService);
}

String xPL_StrAlloc(int theLength) {
  if (theLength < 0) return nullptr;

  if (theLength > kMaxPooledLength) {
    String theString = newStringBuffer(theLength);
    xPL_Debug("STORE:: Allocating entirely new LARGE string @ %p (LEN=%d)",
              static_cast<void *>(theString), theLength);
    return theString;
  }

  itemCache &theCache = StringCache[theLength];
  if (isAbsent(theCache)) {
    String theString = newStringBuffer(theLength);
    xPL_Debug("STORE:: Cache Empty, Allocating entirely new string @ %p (LEN=%d)",
              static_cast<void *>(theString), theLength);
    return theString;
  }

  auto theString = static_cast<String>(allocItem(theCache));
  if (theString == nullptr) {
    theString = newStringBuffer(theLength);
    xPL_Debug("STORE:: No Cache Entry found, Allocating entirely new string @ %p (LEN=%d)",
              static_cast<void *>(theString), theLength);
    return theString;
  }

  if (debugging()) {
    xPL_Debug("STORE:: Reusing cache entry for String @ %p (LEN=%d)",
              static_cast<void *>(theString), theLength);
  }
  theString[0] = '\0';
  return theString;
}

String xPL_StrDup(const char *theOrigString) {
  if (theOrigString == nullptr) return nullptr;
  const size_t theLength = strlen(theOrigString);
  String theCopy = xPL_StrAlloc(static_cast<int>(theLength));
  memcpy(theCopy, theOrigString, theLength + 1);
  if (debugging()) {
    xPL_Debug("STORE:: Duped string [%s] (%d bytes)", theOrigString, static_cast<int>(theLength));
  }
  return theCopy;
}

String xPL_StrNDup(const char *theOrigString, int maxChars) {
  if (theOrigString == nullptr) return nullptr;
  // A negative limit copies nothing rather than asking for a negative buffer.
  const size_t theLimit = maxChars < 0 ? 0 : static_cast<size_t>(maxChars);
  const size_t theLength = strnlen(theOrigString, theLimit);
  String theCopy = xPL_StrAlloc(static_cast<int>(theLength));
  memcpy(theCopy, theOrigString, theLength);
  theCopy[theLength] = '\0';
  xPL_Debug("STORE:: Duped string [%s] (%d bytes copied, %d bytes max)", theOrigString,
            static_cast<int>(theLength), maxChars);
  return theCopy;
}


String xpl::internal::copyStringSlowly(const char *theText, int theLength) {
  String theCopy = xPL_StrAlloc(theLength);
  copyBytes(theCopy, theText, static_cast<size_t>(theLength));
  theCopy[theLength] = '\0';
  return theCopy;
}

void xpl::internal::releaseStringSlowly(String theString, size_t theLength) {
  if (theLength > static_cast<size_t>(kMaxPooledLength)) {
    xPL_Debug("STORE:: Permanently releasing large string @ %p, [%s]",
              static_cast<void *>(theString), theString);
    free(theString);
    return;
  }

  itemCache &theCache = StringCache[theLength];
  if (isAbsent(theCache)) {
    xPL_Debug("STORE:: Allocating new cache for strings %d characters long",
              static_cast<int>(theLength));
  }
  if (debugging()) {
    xPL_Debug("STORE:: Releasing string @ %p to cache -- [%s] (LEN=%d, CNT=%d)",
              static_cast<void *>(theString), theString, static_cast<int>(theLength),
              theCache.cacheCount);
  }
  releaseItem(theCache, theString);
}

void xPL_FreeStr(String theString) { xpl::internal::releaseString(theString); }
