// Listener registries: newest-first dispatch, duplicates, removal of the
// oldest registration, growth, and service-listener matching.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "xpl_test_helpers.h"

namespace {

using xpltest::MessageHolder;

std::vector<std::string> calls;

// The user value carries the listener's label.
const char *label(xPL_ObjectPtr userValue) { return static_cast<const char *>(userValue); }
xPL_ObjectPtr tag(const char *text) { return const_cast<char *>(text); }

void rawA(String, int length, xPL_ObjectPtr u) {
  calls.push_back(std::string(label(u)) + ":" + std::to_string(length));
}
void rawB(String text, int, xPL_ObjectPtr u) { calls.push_back(std::string(label(u)) + ":" + text); }
void messageA(xPL_MessagePtr, xPL_ObjectPtr u) { calls.push_back(label(u)); }
void messageB(xPL_MessagePtr, xPL_ObjectPtr u) { calls.push_back(label(u)); }
void messageUnregistered(xPL_MessagePtr, xPL_ObjectPtr) {}
void serviceA(xPL_ServicePtr, xPL_MessagePtr, xPL_ObjectPtr u) { calls.push_back(label(u)); }
void serviceB(xPL_ServicePtr, xPL_MessagePtr, xPL_ObjectPtr u) { calls.push_back(label(u)); }
void changedA(xPL_ServicePtr, xPL_ObjectPtr u) { calls.push_back(label(u)); }
void changedB(xPL_ServicePtr, xPL_ObjectPtr u) { calls.push_back(label(u)); }

// A bare service record with empty registries, released with its listeners.
class ServiceRecord {
 public:
  ServiceRecord() : service_(xPL_AllocService()) {}
  ~ServiceRecord() {
    xpl::internal::releaseServiceListeners(service_);
    xpl::internal::releaseConfigChangedListeners(service_);
    xPL_FreeService(service_);
  }
  ServiceRecord(const ServiceRecord &) = delete;
  ServiceRecord &operator=(const ServiceRecord &) = delete;
  xPL_ServicePtr get() const { return service_; }

 private:
  xPL_ServicePtr service_;
};

class ListenersTest : public testing::Test {
 protected:
  void SetUp() override { calls.clear(); }
};

TEST_F(ListenersTest, RawListenersAreCalledNewestFirstWithTheirUserValue) {
  EXPECT_FALSE(xPL_dispatchRawEvent(const_cast<char *>("x"), 1));
  xPL_addRawListener(rawA, tag("A"));
  xPL_addRawListener(rawB, tag("B"));
  char text[] = "hello";
  EXPECT_TRUE(xPL_dispatchRawEvent(text, 5));
  EXPECT_EQ(calls, (std::vector<std::string>{"B:hello", "A:5"}));
  EXPECT_TRUE(xPL_removeRawListener(rawA));
  EXPECT_FALSE(xPL_removeRawListener(rawA));
  EXPECT_TRUE(xPL_removeRawListener(rawB));
  EXPECT_FALSE(xPL_dispatchRawEvent(text, 5));
}

TEST_F(ListenersTest, DuplicateRegistrationIsCalledTwiceAndRemovalTakesTheOldest) {
  xPL_addMessageListener(messageA, tag("old"));
  xPL_addMessageListener(messageB, tag("B"));
  xPL_addMessageListener(messageA, tag("new"));
  EXPECT_TRUE(xPL_dispatchMessageEvent(nullptr));
  EXPECT_EQ(calls, (std::vector<std::string>{"new", "B", "old"}));

  calls.clear();
  EXPECT_FALSE(xPL_removeMessageListener(messageUnregistered));
  EXPECT_TRUE(xPL_removeMessageListener(messageA));
  xPL_dispatchMessageEvent(nullptr);
  EXPECT_EQ(calls, (std::vector<std::string>{"new", "B"}));

  EXPECT_TRUE(xPL_removeMessageListener(messageA));
  EXPECT_TRUE(xPL_removeMessageListener(messageB));
  EXPECT_FALSE(xPL_dispatchMessageEvent(nullptr));
}

// Registers another listener while being dispatched.
void messageAdder(xPL_MessagePtr, xPL_ObjectPtr u) {
  calls.push_back(label(u));
  xPL_addMessageListener(messageB, tag("added"));
}
// Removes its own registration while being dispatched.
void messageSelfRemover(xPL_MessagePtr, xPL_ObjectPtr u) {
  calls.push_back(label(u));
  xPL_removeMessageListener(messageSelfRemover);
}

TEST_F(ListenersTest, CallbacksMayAddListenersOrRemoveThemselvesDuringDispatch) {
  xPL_addMessageListener(messageA, tag("A"));
  xPL_addMessageListener(messageSelfRemover, tag("self"));
  // Enough additions during one dispatch to move the array.
  for (int i = 0; i < 20; i++) xPL_addMessageListener(messageAdder, tag("adder"));
  xPL_dispatchMessageEvent(nullptr);
  std::vector<std::string> expected(20, "adder");
  expected.push_back("self");
  expected.push_back("A");
  EXPECT_EQ(calls, expected);

  // The listeners added during the dispatch are heard next time.
  calls.clear();
  while (xPL_removeMessageListener(messageAdder)) {
  }
  xPL_dispatchMessageEvent(nullptr);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "added"), 20);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "self"), 0);
  while (xPL_removeMessageListener(messageB)) {
  }
  EXPECT_TRUE(xPL_removeMessageListener(messageA));
}

// Removes the oldest registration of messageA while being dispatched.
void messageRemoverOfA(xPL_MessagePtr, xPL_ObjectPtr u) {
  calls.push_back(label(u));
  xPL_removeMessageListener(messageA);
}
// Removes serviceA while being dispatched, then dispatches again.
void serviceRemoverOfA(xPL_ServicePtr service, xPL_MessagePtr message, xPL_ObjectPtr u) {
  calls.push_back(label(u));
  if (xPL_removeServiceListener(service, serviceA)) xPL_dispatchServiceEvent(service, message);
}

TEST_F(ListenersTest, ListenerRemovedBeforeTheWalkReachesItIsNotCalledAndNoneTwice) {
  xPL_addMessageListener(messageA, tag("A-old"));
  xPL_addMessageListener(messageB, tag("B"));
  xPL_addMessageListener(messageA, tag("A-new"));
  xPL_addMessageListener(messageRemoverOfA, tag("remover"));
  xPL_addMessageListener(messageB, tag("B-newest"));
  xPL_dispatchMessageEvent(nullptr);
  EXPECT_EQ(calls, (std::vector<std::string>{"B-newest", "remover", "A-new", "B"}));
  calls.clear();
  xPL_dispatchMessageEvent(nullptr);  // removes A-new, the last one
  EXPECT_EQ(calls, (std::vector<std::string>{"B-newest", "remover", "B"}));
  while (xPL_removeMessageListener(messageB)) {
  }
  EXPECT_TRUE(xPL_removeMessageListener(messageRemoverOfA));

  // The same holds for a dispatch nested inside a callback of the same registry.
  calls.clear();
  ServiceRecord service;
  MessageHolder message(xPL_createBroadcastMessage(nullptr, xPL_MESSAGE_TRIGGER));
  xPL_addServiceListener(service.get(), serviceA, xPL_MESSAGE_ANY, NULL, NULL, tag("A"));
  xPL_addServiceListener(service.get(), serviceB, xPL_MESSAGE_ANY, NULL, NULL, tag("B"));
  xPL_addServiceListener(service.get(), serviceRemoverOfA, xPL_MESSAGE_ANY, NULL, NULL,
                         tag("remover"));
  xPL_dispatchServiceEvent(service.get(), message.get());
  EXPECT_EQ(calls, (std::vector<std::string>{"remover", "remover", "B", "B"}));
}

TEST_F(ListenersTest, ServiceListenerMatchesTypeAndSchemaIgnoringCase) {
  ServiceRecord service;
  xPL_addServiceListener(service.get(), serviceA, xPL_MESSAGE_ANY, "config", nullptr, tag("cfg"));
  MessageHolder m(xPL_createBroadcastMessage(nullptr, xPL_MESSAGE_COMMAND));

  for (xPL_MessageType type : {xPL_MESSAGE_COMMAND, xPL_MESSAGE_STATUS, xPL_MESSAGE_TRIGGER}) {
    for (const char *schema : {"config", "CONFIG", "Config"}) {
      calls.clear();
      xPL_setMessageType(m.get(), type);
      xPL_setSchema(m.get(), schema, type == xPL_MESSAGE_STATUS ? "current" : "list");
      EXPECT_TRUE(xPL_dispatchServiceEvent(service.get(), m.get()));
      EXPECT_EQ(calls, (std::vector<std::string>{"cfg"}));
    }
  }
  calls.clear();
  xPL_setSchema(m.get(), "hbeat", "list");
  EXPECT_FALSE(xPL_dispatchServiceEvent(service.get(), m.get()));
  // A message without schema matches only listeners without a schema filter.
  xPL_setSchema(m.get(), nullptr, nullptr);
  EXPECT_FALSE(xPL_dispatchServiceEvent(service.get(), m.get()));
  EXPECT_TRUE(calls.empty());
}

TEST_F(ListenersTest, EmptySchemaMatchesEveryClassAndTypeFilterIsChecked) {
  ServiceRecord service;
  xPL_addServiceListener(service.get(), serviceA, xPL_MESSAGE_ANY, "", "", tag("any"));
  xPL_addServiceListener(service.get(), serviceB, xPL_MESSAGE_ANY, nullptr, "Basic", tag("basic"));

  MessageHolder m(xPL_createBroadcastMessage(nullptr, xPL_MESSAGE_TRIGGER));
  xPL_setSchema(m.get(), "x10", "basic");
  EXPECT_TRUE(xPL_dispatchServiceEvent(service.get(), m.get()));
  EXPECT_EQ(calls, (std::vector<std::string>{"basic", "any"}));
  calls.clear();
  xPL_setSchemaType(m.get(), "other");
  EXPECT_TRUE(xPL_dispatchServiceEvent(service.get(), m.get()));
  EXPECT_EQ(calls, (std::vector<std::string>{"any"}));
}

TEST_F(ListenersTest, TypeFilterPassesOverOtherTypes) {
  ServiceRecord service;
  xPL_addServiceListener(service.get(), serviceA, xPL_MESSAGE_TRIGGER, "sensor", "basic",
                         tag("trig"));
  MessageHolder m(xPL_createBroadcastMessage(nullptr, xPL_MESSAGE_STATUS));
  xPL_setSchema(m.get(), "sensor", "basic");
  EXPECT_FALSE(xPL_dispatchServiceEvent(service.get(), m.get()));
  EXPECT_TRUE(calls.empty());
  xPL_setMessageType(m.get(), xPL_MESSAGE_TRIGGER);
  EXPECT_TRUE(xPL_dispatchServiceEvent(service.get(), m.get()));
}

TEST_F(ListenersTest, ServiceListenerKeepsACopyOfItsSchemaAndRemovalTakesIt) {
  ServiceRecord service;
  char schemaClass[] = "config";
  xPL_addServiceListener(service.get(), serviceA, xPL_MESSAGE_ANY, schemaClass, "list", tag("A"));
  xPL_addServiceListener(service.get(), serviceB, xPL_MESSAGE_ANY, nullptr, nullptr, tag("B"));
  strcpy(schemaClass, "hbeat!");  // the caller's text may change: the copy stays
  MessageHolder m(xPL_createBroadcastMessage(nullptr, xPL_MESSAGE_COMMAND));
  xPL_setSchema(m.get(), "config", "list");
  xPL_dispatchServiceEvent(service.get(), m.get());
  EXPECT_EQ(calls, (std::vector<std::string>{"B", "A"}));

  calls.clear();
  EXPECT_TRUE(xPL_removeServiceListener(service.get(), serviceA));
  EXPECT_FALSE(xPL_removeServiceListener(service.get(), serviceA));
  xPL_dispatchServiceEvent(service.get(), m.get());
  EXPECT_EQ(calls, (std::vector<std::string>{"B"}));
}

TEST_F(ListenersTest, RegistriesGrowAsNeededAndKeepEveryListener) {
  ServiceRecord service;
  for (int i = 0; i < 40; i++) {
    xPL_addServiceConfigChangedListener(service.get(), changedA, tag("A"));
    xPL_addServiceListener(service.get(), serviceA, xPL_MESSAGE_ANY, nullptr, nullptr, tag("A"));
  }
  xPL_addServiceConfigChangedListener(service.get(), changedB, tag("B"));
  xPL_addServiceListener(service.get(), serviceB, xPL_MESSAGE_ANY, nullptr, nullptr, tag("B"));
  MessageHolder m(xPL_createBroadcastMessage(nullptr, xPL_MESSAGE_TRIGGER));
  xPL_dispatchServiceEvent(service.get(), m.get());
  xPL_dispatchServiceConfigChangedEvent(service.get());
  std::vector<std::string> expected{"B"};
  expected.insert(expected.end(), 40, "A");
  expected.push_back("B");
  expected.insert(expected.end(), 40, "A");
  EXPECT_EQ(calls, expected);

  calls.clear();
  while (xPL_removeServiceConfigChangedListener(service.get(), changedA)) {
  }
  xPL_dispatchServiceConfigChangedEvent(service.get());
  EXPECT_EQ(calls, (std::vector<std::string>{"B"}));
}

TEST_F(ListenersTest, ConfigChangedListenersAreCalledNewestFirst) {
  ServiceRecord service;
  EXPECT_FALSE(xPL_dispatchServiceConfigChangedEvent(service.get()));
  xPL_addServiceConfigChangedListener(service.get(), changedA, tag("A"));
  xPL_addServiceConfigChangedListener(service.get(), changedB, tag("B"));
  EXPECT_TRUE(xPL_dispatchServiceConfigChangedEvent(service.get()));
  EXPECT_EQ(calls, (std::vector<std::string>{"B", "A"}));
  EXPECT_FALSE(xPL_removeServiceConfigChangedListener(service.get(), nullptr));
  EXPECT_TRUE(xPL_removeServiceConfigChangedListener(service.get(), changedA));
  calls.clear();
  xPL_dispatchServiceConfigChangedEvent(service.get());
  EXPECT_EQ(calls, (std::vector<std::string>{"B"}));
}

TEST_F(ListenersTest, AbsentServiceIsHarmless) {
  xPL_addServiceListener(nullptr, serviceA, xPL_MESSAGE_ANY, "x", "y", nullptr);
  xPL_addServiceConfigChangedListener(nullptr, changedA, nullptr);
  EXPECT_FALSE(xPL_removeServiceListener(nullptr, serviceA));
  EXPECT_FALSE(xPL_removeServiceConfigChangedListener(nullptr, changedA));
  EXPECT_FALSE(xPL_dispatchServiceEvent(nullptr, nullptr));
  EXPECT_FALSE(xPL_dispatchServiceConfigChangedEvent(nullptr));
}

}  // namespace
