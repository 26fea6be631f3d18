// Recycling pools: records and strings come back in LIFO order, reused items
// are reset as their type requires, and every pool event is logged.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "xpl_test_helpers.h"

namespace {

using xpltest::contains;
using xpltest::debugLogOf;

std::string ptrText(const void *p) {
  char text[32];
  snprintf(text, sizeof(text), "%p", p);
  return text;
}

TEST(StorePairs, ReusedPairIsClearedAndLogged) {
  xPL_NameValuePairPtr pair = xPL_AllocNVPair();
  pair->itemName = reinterpret_cast<String>(0x1);
  pair->itemValue = reinterpret_cast<String>(0x2);
  pair->isBinary = TRUE;
  pair->binaryLength = 7;

  xPL_NameValuePairPtr again = nullptr;
  const std::string log = debugLogOf([&] {
    xPL_FreeNVPair(pair);
    again = xPL_AllocNVPair();
  });
  ASSERT_EQ(again, pair);
  EXPECT_EQ(again->itemName, nullptr);
  EXPECT_EQ(again->itemValue, nullptr);
  EXPECT_FALSE(again->isBinary);
  EXPECT_EQ(again->binaryLength, 0);
  EXPECT_TRUE(contains(log, "xPL_DEBUG: STORE:: Releasing NameValuePair @ " + ptrText(pair) +
                                " back to cache pool\n"));
  EXPECT_TRUE(contains(log, "xPL_DEBUG: STORE:: Reused NameValuePair @ " + ptrText(pair) +
                                " from cache\n"));
  xPL_FreeNVPair(again);
}

TEST(StorePairs, EmptyPoolAllocatesAndCountsNewPairs) {
  // Drain whatever earlier tests left in the pool until a new pair is made.
  std::vector<xPL_NameValuePairPtr> taken;
  std::string log;
  while (!contains(log, "Allocating new")) {
    log = debugLogOf([&] { taken.push_back(xPL_AllocNVPair()); });
  }
  int first = 0;
  ASSERT_EQ(sscanf(log.substr(log.find(", now ")).c_str(), ", now %d pairs allocated", &first), 1);
  EXPECT_TRUE(contains(log, "STORE:: Allocating new xPL_NameValuePair @ " + ptrText(taken.back()) +
                                ", now "));

  log = debugLogOf([&] { taken.push_back(xPL_AllocNVPair()); });
  EXPECT_TRUE(contains(log, "STORE:: Allocating new xPL_NameValuePair @ " + ptrText(taken.back()) +
                                ", now " + std::to_string(first + 1) + " pairs allocated\n"));
  for (auto *pair : taken) xPL_FreeNVPair(pair);
}

TEST(StoreLists, ReusedListKeepsItsSlotArray) {
  xPL_NameValueListPtr list = xPL_newNamedValueList();
  for (int i = 0; i < 9; i++) xPL_addNamedValue(list, "n", "v");
  const int capacity = xPL_getNamedValueCapacity(list);
  ASSERT_GE(capacity, 9);
  xPL_clearAllNamedValues(list);

  xPL_NameValueListPtr again = nullptr;
  const std::string log = debugLogOf([&] {
    xPL_freeNamedValueList(list);
    again = xPL_newNamedValueList();
  });
  ASSERT_EQ(again, list);
  EXPECT_EQ(xPL_getNamedValueCount(again), 0);
  EXPECT_EQ(xPL_getNamedValueCapacity(again), capacity);
  EXPECT_TRUE(contains(log, "STORE:: Releasing NameValueList @ " + ptrText(list) +
                                " back to cache pool\n"));
  EXPECT_TRUE(contains(log, "STORE:: Reused NameValueList @ " + ptrText(list) + " from cache\n"));

  // As many values as it had room for fit again without growing.
  for (int i = 0; i < capacity; i++) xPL_addNamedValue(again, "n", "v");
  EXPECT_EQ(xPL_getNamedValueCapacity(again), capacity);
  xPL_freeNamedValueList(again);
}

TEST(StoreLists, NewListLogLineKeepsItsSpelling) {
  std::vector<xPL_NameValueListPtr> taken;
  std::string log;
  while (!contains(log, "Allocating new")) {
    log = debugLogOf([&] { taken.push_back(xPL_AllocNVList()); });
  }
  EXPECT_TRUE(contains(log, "STORE:: Allocating new xPL_NameValueList @ " + ptrText(taken.back()) +
                                ", now "));
  EXPECT_TRUE(contains(log, " lists allocted\n"));
  EXPECT_EQ(xPL_getNamedValueCount(taken.back()), 0);
  EXPECT_EQ(xPL_getNamedValueCapacity(taken.back()), 0);
  for (auto *list : taken) xPL_FreeNVList(list);
}

TEST(StoreMessages, NewMessageIsZeroAndReusedOneComesBackUnchanged) {
  std::vector<xPL_MessagePtr> taken;
  std::string log;
  while (!contains(log, "Allocated new")) {
    log = debugLogOf([&] { taken.push_back(xPL_AllocMessage()); });
  }
  EXPECT_TRUE(contains(log, "STORE:: Allocated new xPL_Message, now "));
  EXPECT_TRUE(contains(log, " messages allocated\n"));
  xPL_MessagePtr fresh = taken.back();
  const xPL_Message zero{};
  EXPECT_EQ(memcmp(fresh, &zero, sizeof(zero)), 0);

  // The pool does not reset messages: their releaser does.
  xPL_setMessageType(fresh, xPL_MESSAGE_TRIGGER);
  log = debugLogOf([&] {
    xPL_FreeMessage(fresh);
    EXPECT_EQ(xPL_AllocMessage(), fresh);
  });
  EXPECT_EQ(xPL_getMessageType(fresh), xPL_MESSAGE_TRIGGER);
  EXPECT_TRUE(contains(log, "STORE:: Relesing xPL_Message @ " + ptrText(fresh) +
                                " back to cache pool\n"));
  EXPECT_TRUE(contains(log, "STORE:: Reused xPL_Message @ " + ptrText(fresh) + " from cache\n"));
  xPL_setMessageType(fresh, xPL_MESSAGE_ANY);
  for (auto *message : taken) xPL_FreeMessage(message);
}

TEST(StoreServices, ServiceIsClearedWhetherNewOrReused) {
  std::vector<xPL_ServicePtr> taken;
  std::string log;
  while (!contains(log, "Allocated new")) {
    log = debugLogOf([&] { taken.push_back(xPL_AllocService()); });
  }
  EXPECT_TRUE(contains(log, "STORE:: Allocated new xPL_Service, now "));
  EXPECT_TRUE(contains(log, " services allocated\n"));

  xPL_ServicePtr service = taken.back();
  taken.pop_back();
  xPL_setHeartbeatInterval(service, 300);
  xPL_setReportOwnMessages(service, TRUE);
  log = debugLogOf([&] {
    xPL_FreeService(service);
    EXPECT_EQ(xPL_AllocService(), service);
  });
  EXPECT_EQ(xPL_getHeartbeatInterval(service), 0);
  EXPECT_FALSE(xPL_isReportOwnMessages(service));
  EXPECT_TRUE(contains(log, "STORE:: Releasing xPL_Service @ " + ptrText(service) +
                                " back to cache pool\n"));
  EXPECT_TRUE(contains(log, "STORE:: Reused xPL_Service @ " + ptrText(service) + " from cache\n"));
  xPL_FreeService(service);
  for (auto *s : taken) xPL_FreeService(s);
}

TEST(StoreStrings, NegativeLengthGivesNothing) { EXPECT_EQ(xPL_StrAlloc(-1), nullptr); }

TEST(StoreStrings, ReleasedBufferServesTheSameLengthOnly) {
  String abc = xPL_StrDup("abc");
  xPL_FreeStr(abc);
  String three = xPL_StrAlloc(3);
  EXPECT_EQ(three, abc);
  EXPECT_STREQ(three, "");
  strcpy(three, "xyz");
  xPL_FreeStr(three);

  String four = xPL_StrAlloc(4);
  EXPECT_NE(four, abc);
  xPL_FreeStr(four);
}

TEST(StoreStrings, SlotLifecycleLogsEachStep) {
  // Length 237 is used by no other test, so its slot starts absent.
  String first = nullptr;
  std::string log = debugLogOf([&] { first = xPL_StrAlloc(237); });
  EXPECT_TRUE(contains(log, "STORE:: Cache Empty, Allocating entirely new string @ " +
                                ptrText(first) + " (LEN=237)\n"));
  EXPECT_STREQ(first, "");

  memset(first, 'q', 237);
  first[237] = '\0';
  log = debugLogOf([&] { xPL_FreeStr(first); });
  EXPECT_TRUE(contains(log, "STORE:: Allocating new cache for strings 237 characters long\n"));
  EXPECT_TRUE(contains(log, "STORE:: Releasing string @ " + ptrText(first) + " to cache -- [" +
                                std::string(237, 'q') + "] (LEN=237, CNT=0)\n"));

  String reused = nullptr;
  log = debugLogOf([&] { reused = xPL_StrAlloc(237); });
  EXPECT_EQ(reused, first);
  EXPECT_TRUE(contains(log, "STORE:: Reusing cache entry for String @ " + ptrText(first) +
                                " (LEN=237)\n"));

  String another = nullptr;
  log = debugLogOf([&] { another = xPL_StrAlloc(237); });
  EXPECT_TRUE(contains(log, "STORE:: No Cache Entry found, Allocating entirely new string @ " +
                                ptrText(another) + " (LEN=237)\n"));
  xPL_FreeStr(reused);
  xPL_FreeStr(another);
}

TEST(StoreStrings, BufferIsFiledUnderItsCurrentLength) {
  String big = xPL_StrAlloc(300);
  strcpy(big, "hi");
  xPL_FreeStr(big);
  // Pooled under length 2: it serves the next 2-character request.
  String two = xPL_StrAlloc(2);
  EXPECT_EQ(two, big);
  xPL_FreeStr(two);
}

TEST(StoreStrings, LongStringsBypassThePool) {
  const std::string text256(256, 'L');
  String large = nullptr;
  std::string log = debugLogOf([&] { large = xPL_StrDup(text256.c_str()); });
  EXPECT_TRUE(contains(log, "STORE:: Allocating entirely new LARGE string @ " + ptrText(large) +
                                " (LEN=256)\n"));
  EXPECT_TRUE(contains(log, "STORE:: Duped string [" + text256 + "] (256 bytes)\n"));
  log = debugLogOf([&] { xPL_FreeStr(large); });
  EXPECT_TRUE(contains(log, "STORE:: Permanently releasing large string @ " + ptrText(large) +
                                ", [" + text256 + "]\n"));

  const std::string text255(255, 'P');
  String pooled = xPL_StrDup(text255.c_str());
  log = debugLogOf([&] { xPL_FreeStr(pooled); });
  EXPECT_TRUE(contains(log, "(LEN=255, CNT="));
  EXPECT_EQ(xPL_StrAlloc(255), pooled);
  xPL_FreeStr(pooled);
}

TEST(StoreStrings, ManyReleasesComeBackLastFirst) {
  // Crosses the 16- and 32-slot growth points of a pool.
  std::vector<String> strings;
  for (int i = 0; i < 40; i++) strings.push_back(xPL_StrAlloc(231));
  for (String s : strings) xPL_FreeStr(s);  // length 0 now: filed under 0
  std::vector<String> again;
  for (int i = 0; i < 40; i++) again.push_back(xPL_StrAlloc(0));
  for (int i = 0; i < 40; i++) EXPECT_EQ(again[i], strings[39 - i]) << i;
  for (String s : again) xPL_FreeStr(s);
}

TEST(StoreStrings, DuplicationCopiesAndLimits) {
  EXPECT_EQ(xPL_StrDup(nullptr), nullptr);
  EXPECT_EQ(xPL_StrNDup(nullptr, 3), nullptr);

  String cut = nullptr;
  const std::string log = debugLogOf([&] { cut = xPL_StrNDup("abcdef", 3); });
  EXPECT_STREQ(cut, "abc");
  EXPECT_TRUE(contains(log, "STORE:: Duped string [abcdef] (3 bytes copied, 3 bytes max)\n"));
  String whole = xPL_StrNDup("ab", 10);
  EXPECT_STREQ(whole, "ab");
  String none = xPL_StrNDup("ab", -4);
  EXPECT_STREQ(none, "");
  xPL_FreeStr(cut);
  xPL_FreeStr(whole);
  xPL_FreeStr(none);
  xPL_FreeStr(nullptr);  // ignored
}

}  // namespace
