// Services: heartbeats on the wire, their schedule, identity changes and the
// routing of inbound messages.  Every datagram is diverted to memory and read
// back with the library's own parser; no socket is opened.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "xpl_test_helpers.h"

namespace {

using xpltest::debugLogOf;

using Body = std::vector<std::pair<std::string, std::string>>;

struct Datagram {
  xPL_MessageType type;
  std::string source, target, schema;
  Body body;
};

std::vector<std::string> sent;
bool sendSucceeds = true;
time_t fakeNow = 1000000;
long long fakeMilliseconds = 0;

Bool captureSend(const char *theData, int dataLen) {
  sent.emplace_back(theData, dataLen);
  return sendSucceeds ? TRUE : FALSE;
}
time_t fakeClock() { return fakeNow; }
long long fakeMillisecondClock() { return fakeMilliseconds; }

// Moves the millisecond clock to `when` and lets the event loop fire what is
// due.  The loop runs only while xPLFD is set, so a pipe that never becomes
// readable stands in for the listener socket.
void fireTimersAt(long long when) {
  fakeMilliseconds = when;
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  xPLFD = ends[0];
  xPL_processMessages(0);
  xPLFD = -1;
  close(ends[0]);
  close(ends[1]);
}

// The delay that the log announced for a heartbeat answer, or -1.
int announcedDelay(const std::string &log) {
  const std::string before = "Sending heartbeat in response to discovery request after a ";
  size_t at = log.find(before);
  return at == std::string::npos ? -1 : std::atoi(log.c_str() + at + before.size());
}

std::string text(const char *s) { return s ? s : "(null)"; }

Datagram decode(const std::string &wire) {
  xPL_MessagePtr m = parseMessage(wire.c_str());
  EXPECT_NE(m, nullptr) << wire;
  if (m == nullptr) return {};
  Datagram d{xPL_getMessageType(m),
             text(xPL_getSourceVendor(m)) + "-" + text(xPL_getSourceDeviceID(m)) + "." +
                 text(xPL_getSourceInstanceID(m)),
             xPL_isBroadcastMessage(m) ? "*"
             : xPL_isGroupMessage(m)   ? text(xPL_getTargetGroup(m))
                                       : text(xPL_getTargetVendor(m)) + "-" +
                                           text(xPL_getTargetDeviceID(m)) + "." +
                                           text(xPL_getTargetInstanceID(m)),
             text(xPL_getSchemaClass(m)) + "." + text(xPL_getSchemaType(m)),
             {}};
  xPL_NameValueListPtr body = xPL_getMessageBody(m);
  for (int i = 0; i < xPL_getNamedValueCount(body); i++) {
    xPL_NameValuePairPtr p = xPL_getNamedValuePairAt(body, i);
    d.body.emplace_back(p->itemName, text(p->itemValue));
  }
  xPL_releaseMessage(m);
  return d;
}

// What every heartbeat of this host carries after "interval".
Body heartbeatBody(const char *minutes) {
  return {{"interval", minutes},
          {"port", std::to_string(xPL_getPort())},
          {"remote-ip", xPL_getListenerIPAddr()}};
}

struct Heard {
  xPL_ServicePtr service;
  std::string schema;
};
std::vector<Heard> heard;
void recordListener(xPL_ServicePtr s, xPL_MessagePtr m, xPL_ObjectPtr) {
  heard.push_back({s, text(xPL_getSchemaClass(m)) + "." + text(xPL_getSchemaType(m))});
}

// Parses an inbound datagram and routes it as the receive path would.
void deliver(const char *type, const char *source, const char *target, const char *schema) {
  std::string wire = std::string(type) + "\n{\nhop=1\nsource=" + source + "\ntarget=" + target +
                     "\n}\n" + schema + "\n{\ncommand=request\n}\n";
  xPL_MessagePtr m = parseMessage(wire.c_str());
  ASSERT_NE(m, nullptr) << wire;
  xPL_handleServiceMessage(m, nullptr);
  xPL_releaseMessage(m);
}

void addFilter(xPL_ServicePtr s, xPL_MessageType type, const char *vendor, const char *device,
               const char *instance, const char *schemaClass, const char *schemaType) {
  xpl::internal::addServiceFilter(s, {type, xPL_StrDup(vendor), xPL_StrDup(device),
                                      xPL_StrDup(instance), xPL_StrDup(schemaClass),
                                      xPL_StrDup(schemaType)});
}

void addGroup(xPL_ServicePtr s, const char *group) { xpl::internal::addServiceGroup(s, group); }

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sent.clear();
    heard.clear();
    fakeMilliseconds = 0;
    sendSucceeds = true;
    fakeNow = 1000000;
    xPL_setRawSender(captureSend);
    xPL_setClock(fakeClock);
    xPL_setMillisecondClock(fakeMillisecondClock);
    xPL_setHubConfirmed(FALSE);
  }
  void TearDown() override {
    while (xPL_getServiceCount() > 0) xPL_releaseService(xPL_getServiceAt(0));
    xPL_setRawSender(nullptr);
    xPL_setClock(nullptr);
    xPL_setMillisecondClock(nullptr);
    xPL_setDebugging(FALSE);
  }
  // An enabled service with a recording listener; its first heartbeat forgotten.
  xPL_ServicePtr listening(const char *instance) {
    xPL_ServicePtr s = xPL_createService("kelvora", "zud", instance);
    xPL_addServiceListener(s, recordListener, xPL_MESSAGE_ANY, nullptr, nullptr, nullptr);
    xPL_setServiceEnabled(s, TRUE);
    sent.clear();
    return s;
  }
};

TEST_F(ServiceTest, NewServiceIsQuietUntilEnabledThenAnnouncesItself) {
  xPL_ServicePtr s = xPL_createService("kelvora", "zud", "one");
  EXPECT_EQ(xPL_getHeartbeatInterval(s), 300);
  EXPECT_FALSE(xPL_isServiceEnabled(s));
  EXPECT_EQ(xPL_getServiceVersion(s), nullptr);
  EXPECT_EQ(xPL_getServiceAt(0), s);
  EXPECT_EQ(xPL_getServiceAt(1), nullptr);
  xPL_sendTimelyHeartbeats();
  EXPECT_TRUE(sent.empty());

  xPL_setServiceEnabled(s, TRUE);
  xPL_setServiceEnabled(s, TRUE);  // no change, nothing sent
  ASSERT_EQ(sent.size(), 1u);
  Datagram hb = decode(sent[0]);
  EXPECT_EQ(hb.type, xPL_MESSAGE_STATUS);
  EXPECT_EQ(hb.source, "kelvora-zud.one");
  EXPECT_EQ(hb.target, "*");
  EXPECT_EQ(hb.schema, "hbeat.app");
  EXPECT_EQ(hb.body, heartbeatBody("5"));
  EXPECT_EQ(xPL_getLastHeartbeatAt(s), fakeNow);

  // A version reaches the goodbye at once and the heartbeat at re-enabling.
  xPL_setServiceVersion(s, "1.2");
  xPL_setServiceEnabled(s, FALSE);
  xPL_setServiceEnabled(s, TRUE);
  ASSERT_EQ(sent.size(), 3u);
  Body withVersion = heartbeatBody("5");
  withVersion.emplace_back("version", "1.2");
  EXPECT_EQ(decode(sent[1]).schema, "hbeat.end");
  EXPECT_EQ(decode(sent[1]).body, withVersion);
  EXPECT_EQ(decode(sent[2]).body, withVersion);
  xPL_setServiceVersion(s, "");
  EXPECT_EQ(xPL_getServiceVersion(s), nullptr);
}

TEST_F(ServiceTest, MissingInstanceGetsAGeneratedIdentifier) {
  xPL_ServicePtr s = xPL_createService("kelvora", "zud", nullptr);
  ASSERT_NE(xPL_getServiceInstanceID(s), nullptr);
  EXPECT_EQ(std::string(xPL_getServiceInstanceID(s)).size(), 16u);
}

TEST_F(ServiceTest, UnconfiguredServiceUsesConfigKindsUntilConfigured) {
  xPL_ServicePtr s = xPL_createService("kelvora", "zud", "one");
  xPL_setServiceConfigurable(s, TRUE);
  xPL_setServiceEnabled(s, TRUE);
  xPL_setServiceEnabled(s, FALSE);
  xPL_setServiceConfigured(s, TRUE);
  xPL_setServiceEnabled(s, TRUE);
  xPL_setServiceEnabled(s, FALSE);
  ASSERT_EQ(sent.size(), 4u);
  const char *schemas[] = {"config.app", "config.end", "hbeat.app", "hbeat.end"};
  const char *minutes[] = {"1", "1", "5", "5"};
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(decode(sent[i]).schema, schemas[i]);
    EXPECT_EQ(decode(sent[i]).body, heartbeatBody(minutes[i]));
  }
}

TEST_F(ServiceTest, ConfiguredWithoutRestartStopsSendingConfigHeartbeats) {
  xPL_ServicePtr s = xPL_createService("kelvora", "zud", "one");
  xPL_setServiceConfigurable(s, TRUE);
  xPL_setServiceEnabled(s, TRUE);
  xPL_setServiceConfigured(s, TRUE);  // as a configuration that needs no restart does
  ASSERT_TRUE(xPL_sendHeartbeat(s));
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(decode(sent[0]).schema, "config.app");
  EXPECT_EQ(decode(sent[1]).schema, "hbeat.app");
  EXPECT_EQ(decode(sent[1]).body, heartbeatBody("5"));
}

TEST_F(ServiceTest, TimelyScheduleFollowsHubAndMode) {
  xPL_ServicePtr s = xPL_createService("kelvora", "zud", "one");
  xPL_ServicePtr off = xPL_createService("kelvora", "zud", "off");
  xPL_setServiceEnabled(s, TRUE);
  time_t start = fakeNow;
  // (seconds after start, hub confirmed, config mode, heartbeats expected so far)
  struct Pass { int at; bool hub; bool configMode; size_t total; } passes[] = {
      {2, false, false, 1}, {3, false, false, 2}, {5, false, false, 2}, {6, false, false, 3},
      {305, true, false, 3}, {306, true, false, 4},   // 300 s after the heartbeat at 6
      {365, true, true, 4}, {366, true, true, 5},     // 60 s in configuration mode
  };
  for (const Pass &p : passes) {
    fakeNow = start + p.at;
    xPL_setHubConfirmed(p.hub ? TRUE : FALSE);
    xPL_setServiceConfigurable(s, p.configMode ? TRUE : FALSE);
    xPL_sendTimelyHeartbeats();
    EXPECT_EQ(sent.size(), p.total) << "at +" << p.at;
  }
  for (const std::string &d : sent) EXPECT_EQ(decode(d).source, "kelvora-zud.one");
  EXPECT_EQ(xPL_getServiceAt(1), off);

  // A service that never got a heartbeat out is due at once.
  xPL_setLastHeartbeatAt(s, 0);
  xPL_sendTimelyHeartbeats();
  EXPECT_EQ(sent.size(), 6u);
}

TEST_F(ServiceTest, ClockSetBackDoesNotSilenceTheService) {
  xPL_ServicePtr s = xPL_createService("kelvora", "zud", "one");
  xPL_setHubConfirmed(TRUE);
  xPL_setServiceEnabled(s, TRUE);
  ASSERT_EQ(sent.size(), 1u);
  fakeNow -= 3600;  // the clock jumped back an hour
  xPL_sendTimelyHeartbeats();
  EXPECT_EQ(sent.size(), 2u);
  EXPECT_EQ(xPL_getLastHeartbeatAt(s), fakeNow);
  // From there the normal interval applies again.
  fakeNow += 299;
  xPL_sendTimelyHeartbeats();
  EXPECT_EQ(sent.size(), 2u);
  fakeNow += 1;
  xPL_sendTimelyHeartbeats();
  EXPECT_EQ(sent.size(), 3u);
}

TEST_F(ServiceTest, FailedHeartbeatsAreRetriedOnTheNextPass) {
  xPL_ServicePtr s = xPL_createService("kelvora", "zud", "one");
  xPL_setHubConfirmed(TRUE);
  sendSucceeds = false;
  xPL_setServiceEnabled(s, TRUE);
  EXPECT_EQ(xPL_getLastHeartbeatAt(s), 0);
  EXPECT_FALSE(xPL_sendHeartbeat(s));
  xPL_sendTimelyHeartbeats();
  EXPECT_EQ(sent.size(), 3u);
  EXPECT_EQ(xPL_getLastHeartbeatAt(s), 0);
  sendSucceeds = true;
  xPL_sendTimelyHeartbeats();
  EXPECT_EQ(sent.size(), 4u);
  EXPECT_EQ(xPL_getLastHeartbeatAt(s), fakeNow);
  sendSucceeds = false;
  EXPECT_FALSE(xPL_sendGoodbyeHeartbeat(s));
  EXPECT_EQ(xPL_getLastHeartbeatAt(s), fakeNow);
}

TEST_F(ServiceTest, HeartbeatIntervalBounds) {
  xPL_ServicePtr s = xPL_createService("kelvora", "zud", "one");
  for (int accepted : {0, 172800, 59}) {
    xPL_setHeartbeatInterval(s, accepted);
    EXPECT_EQ(xPL_getHeartbeatInterval(s), accepted);
  }
  for (int rejected : {-1, 172801}) {
    xPL_setHeartbeatInterval(s, rejected);
    EXPECT_EQ(xPL_getHeartbeatInterval(s), 59);
  }
  xPL_setServiceEnabled(s, TRUE);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(decode(sent[0]).body, heartbeatBody("0"));
}

TEST_F(ServiceTest, IdentityChangesSayGoodbyeThenHello) {
  xPL_ServicePtr s = xPL_createService("kelvora", "zud", "one");
  const char *before = xPL_getServiceVendor(s);
  xPL_setServiceVendor(s, "KELVORA");
  EXPECT_EQ(xPL_getServiceVendor(s), before);
  EXPECT_STREQ(before, "kelvora");

  xPL_setServiceEnabled(s, TRUE);
  xPL_setServiceVendor(s, "Kelvora");  // case only: nothing stored, nothing sent
  EXPECT_EQ(sent.size(), 1u);
  xPL_setServiceVendor(s, "acme");
  xPL_setServiceDeviceID(s, "box");
  xPL_setServiceInstanceID(s, "two");
  const char *expected[][2] = {{"hbeat.end", "kelvora-zud.one"}, {"hbeat.app", "acme-zud.one"},
                               {"hbeat.end", "acme-zud.one"},    {"hbeat.app", "acme-box.one"},
                               {"hbeat.end", "acme-box.one"},    {"hbeat.app", "acme-box.two"}};
  ASSERT_EQ(sent.size(), 7u);
  for (int i = 0; i < 6; i++) {
    Datagram d = decode(sent[i + 1]);
    EXPECT_EQ(d.schema, expected[i][0]);
    EXPECT_EQ(d.source, expected[i][1]);
  }

  // Disabled: stored silently, and the cached heartbeat follows the change.
  xPL_setServiceEnabled(s, FALSE);
  sent.clear();
  xPL_setServiceInstanceID(s, "three");
  EXPECT_TRUE(sent.empty());
  ASSERT_TRUE(xPL_sendHeartbeat(s));
  EXPECT_EQ(decode(sent[0]).source, "acme-box.three");
}

TEST_F(ServiceTest, BroadcastHeartbeatRequestIsAnsweredOnceAfterADelayThatBlocksNothing) {
  xPL_ServicePtr s = listening("one");
  addFilter(s, xPL_MESSAGE_TRIGGER, nullptr, nullptr, nullptr, nullptr, nullptr);
  std::string log = debugLogOf([&] { deliver("xpl-cmnd", "acme-mgr.x", "*", "HBEAT.Request"); });
  int delay = announcedDelay(log);
  EXPECT_GE(delay, 500);
  EXPECT_LE(delay, 2500);
  // Handling returned at once: the answer waits in the event loop.
  EXPECT_TRUE(sent.empty());
  EXPECT_TRUE(heard.empty());  // the filter still drops it

  // Further requests while the answer is pending add no second answer.
  log = debugLogOf([&] { deliver("xpl-cmnd", "acme-mgr.x", "*", "hbeat.request"); });
  EXPECT_EQ(announcedDelay(log), -1);
  fireTimersAt(delay - 1);
  EXPECT_TRUE(sent.empty());
  fireTimersAt(delay);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(decode(sent[0]).schema, "hbeat.app");
  fireTimersAt(delay + 5000);
  EXPECT_EQ(sent.size(), 1u);

  // Not answered: a status, a targeted request, a disabled or a
  // non-responding service.  Without filters the request is still heard.
  xPL_clearServiceFilters(s);
  sent.clear();
  deliver("xpl-stat", "acme-mgr.x", "*", "hbeat.request");
  deliver("xpl-cmnd", "acme-mgr.x", "kelvora-zud.one", "hbeat.request");
  xPL_setRespondingToBroadcasts(s, FALSE);
  deliver("xpl-cmnd", "acme-mgr.x", "*", "hbeat.request");
  xPL_setRespondingToBroadcasts(s, TRUE);
  xPL_setServiceEnabled(s, FALSE);
  sent.clear();
  deliver("xpl-cmnd", "acme-mgr.x", "*", "hbeat.request");
  fireTimersAt(delay + 10000);
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(heard.size(), 4u);

  // An answer still pending when its service is disabled or released is
  // dropped with it.
  xPL_setServiceEnabled(s, TRUE);
  deliver("xpl-cmnd", "acme-mgr.x", "*", "hbeat.request");
  xPL_setServiceEnabled(s, FALSE);
  xPL_ServicePtr other = listening("two");
  deliver("xpl-cmnd", "acme-mgr.x", "*", "hbeat.request");
  xPL_releaseService(other);
  sent.clear();
  fireTimersAt(delay + 20000);
  EXPECT_TRUE(sent.empty());
}

TEST_F(ServiceTest, BroadcastFiltersLookAtSourceTypeAndSchema) {
  xPL_ServicePtr s = listening("one");
  struct Case {
    xPL_MessageType type;
    const char *v, *d, *i, *c, *t;
    bool passes;
  } cases[] = {
      {xPL_MESSAGE_ANY, nullptr, nullptr, nullptr, nullptr, nullptr, true},
      {xPL_MESSAGE_TRIGGER, nullptr, nullptr, nullptr, nullptr, nullptr, true},
      {xPL_MESSAGE_STATUS, nullptr, nullptr, nullptr, nullptr, nullptr, false},
      {xPL_MESSAGE_ANY, "ACME", "Sensor", "HALL", "Sensor", "BASIC", true},
      {xPL_MESSAGE_ANY, "other", nullptr, nullptr, nullptr, nullptr, false},
      {xPL_MESSAGE_ANY, nullptr, "other", nullptr, nullptr, nullptr, false},
      {xPL_MESSAGE_ANY, nullptr, nullptr, "other", nullptr, nullptr, false},
      {xPL_MESSAGE_ANY, nullptr, nullptr, nullptr, "other", nullptr, false},
      {xPL_MESSAGE_ANY, nullptr, nullptr, nullptr, nullptr, "other", false},
      {xPL_MESSAGE_ANY, nullptr, nullptr, nullptr, nullptr, "", false},
      // Target fields are not looked at: the target is "*".
      {xPL_MESSAGE_ANY, "kelvora", "zud", "one", nullptr, nullptr, false},
  };
  for (const Case &c : cases) {
    xPL_clearServiceFilters(s);
    addFilter(s, c.type, c.v, c.d, c.i, c.c, c.t);
    heard.clear();
    deliver("xpl-trig", "acme-sensor.hall", "*", "sensor.basic");
    EXPECT_EQ(heard.size(), c.passes ? 1u : 0u) << text(c.v) << text(c.d) << text(c.i)
                                                << text(c.c) << text(c.t) << c.type;
  }
  // Any one of several filters lets a message through.
  addFilter(s, xPL_MESSAGE_ANY, nullptr, nullptr, nullptr, "sensor", nullptr);
  heard.clear();
  deliver("xpl-trig", "acme-sensor.hall", "*", "sensor.basic");
  EXPECT_EQ(heard.size(), 1u);
}

TEST_F(ServiceTest, GroupAndTargetedMessagesBypassFilters) {
  xPL_ServicePtr s = listening("one");
  addFilter(s, xPL_MESSAGE_STATUS, "nobody", nullptr, nullptr, nullptr, nullptr);
  deliver("xpl-cmnd", "acme-mgr.x", "xpl-group.hall", "control.basic");  // no groups yet
  addGroup(s, "hall");  // bare name: never equals a received group
  addGroup(s, "XPL-GROUP.Hall");
  deliver("xpl-cmnd", "acme-mgr.x", "xpl-group.hall", "control.basic");
  deliver("xpl-cmnd", "acme-mgr.x", "xpl-group.kitchen", "control.basic");
  deliver("xpl-cmnd", "acme-mgr.x", "KELVORA-ZUD.ONE", "control.target");
  deliver("xpl-cmnd", "acme-mgr.x", "kelvora-zud.two", "control.other");
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0].schema, "control.basic");
  EXPECT_EQ(heard[1].schema, "control.target");
  xPL_clearServiceGroups(s);
  deliver("xpl-cmnd", "acme-mgr.x", "xpl-group.hall", "control.basic");
  EXPECT_EQ(heard.size(), 2u);
}

TEST_F(ServiceTest, OwnMessagesAreSkippedByExactIdentity) {
  xPL_ServicePtr s = listening("one");
  std::string log =
      debugLogOf([&] { deliver("xpl-cmnd", "kelvora-zud.one", "*", "hbeat.request"); });
  EXPECT_NE(log.find("Skipping message from self"), std::string::npos);
  EXPECT_TRUE(heard.empty());
  EXPECT_EQ(announcedDelay(log), -1);
  deliver("xpl-stat", "kelvora-zud.ONE", "*", "x.y");
  xPL_setReportOwnMessages(s, TRUE);
  deliver("xpl-stat", "kelvora-zud.one", "*", "x.z");
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0].schema, "x.y");
}

TEST_F(ServiceTest, TableKeepsCreationOrderThroughGrowthAndRelease) {
  std::vector<xPL_ServicePtr> made;
  for (int i = 0; i < 10; i++) made.push_back(listening(std::to_string(i).c_str()));
  deliver("xpl-stat", "acme-x.y", "*", "a.b");
  ASSERT_EQ(heard.size(), 10u);
  for (int i = 0; i < 10; i++) EXPECT_EQ(heard[i].service, made[9 - i]);  // newest first

  // Release in the middle: a goodbye, every owned string back, order kept.
  xPL_setServiceVersion(made[4], "1.0");
  addGroup(made[4], "XPL-GROUP.a");
  addFilter(made[4], xPL_MESSAGE_ANY, "v", "d", "i", "c", "t");
  xPL_addServiceListener(made[4], recordListener, xPL_MESSAGE_STATUS, "a", "b", nullptr);
  sent.clear();
  xPL_releaseService(made[4]);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(decode(sent[0]).source, "kelvora-zud.4");
  EXPECT_EQ(decode(sent[0]).schema, "hbeat.end");
  made.erase(made.begin() + 4);
  ASSERT_EQ(xPL_getServiceCount(), 9);
  for (int i = 0; i < 9; i++) EXPECT_EQ(xPL_getServiceAt(i), made[i]);

  // A record that is not in the table is left alone.
  xPL_ServicePtr stray = xPL_AllocService();
  xPL_releaseService(stray);
  xPL_releaseService(nullptr);
  EXPECT_EQ(xPL_getServiceCount(), 9);
  xPL_FreeService(stray);

  sent.clear();
  xPL_disableAllServices();
  ASSERT_EQ(sent.size(), 9u);
  for (int i = 0; i < 9; i++) {
    EXPECT_EQ(decode(sent[i]).source, "kelvora-zud." + text(xPL_getServiceInstanceID(made[i])));
    EXPECT_FALSE(xPL_isServiceEnabled(made[i]));
  }
}

// Releases the oldest service when it hears a message.
void releaseOldestListener(xPL_ServicePtr s, xPL_MessagePtr m, xPL_ObjectPtr) {
  recordListener(s, m, nullptr);
  xPL_releaseService(xPL_getServiceAt(0));
}

TEST_F(ServiceTest, ServiceReleasedWhileAMessageIsRoutedIsSkippedAndNoneHearsItTwice) {
  xPL_ServicePtr oldest = listening("a");
  xPL_ServicePtr middle = listening("b");
  xPL_ServicePtr newest = xPL_createService("kelvora", "zud", "c");
  xPL_addServiceListener(newest, releaseOldestListener, xPL_MESSAGE_ANY, nullptr, nullptr, nullptr);
  deliver("xpl-stat", "acme-x.y", "*", "a.b");
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0].service, newest);
  EXPECT_EQ(heard[1].service, middle);
  EXPECT_EQ(xPL_getServiceCount(), 2);
  EXPECT_EQ(xPL_getServiceAt(0), middle);
  EXPECT_NE(xPL_getServiceAt(0), oldest);
}

TEST_F(ServiceTest, SendServiceMessageStampsTheSendersIdentity) {
  xPL_ServicePtr a = xPL_createService("kelvora", "zud", "a");
  xPL_ServicePtr b = xPL_createService("kelvora", "zud", "b");
  xPL_MessagePtr m = xPL_createTargetedMessage(a, xPL_MESSAGE_COMMAND, "acme", "box", "x");
  xPL_setSchema(m, "control", "basic");
  EXPECT_FALSE(xPL_sendServiceMessage(nullptr, m));
  EXPECT_FALSE(xPL_sendServiceMessage(b, nullptr));
  EXPECT_TRUE(sent.empty());
  EXPECT_TRUE(xPL_sendServiceMessage(b, m));
  EXPECT_EQ(xPL_getSourceInstanceID(m), xPL_getServiceInstanceID(b));  // borrowed, not copied
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(decode(sent[0]).source, "kelvora-zud.b");
  EXPECT_EQ(decode(sent[0]).target, "acme-box.x");
  xPL_releaseMessage(m);

  // A received message owns its source, so forwarding it must not hand the
  // service's own strings to the pool at release.
  xPL_MessagePtr r = parseMessage("xpl-trig\n{\nhop=1\nsource=acme-s.h\ntarget=*\n}\nx.y\n{\n}\n");
  ASSERT_NE(r, nullptr);
  EXPECT_TRUE(xPL_sendServiceMessage(a, r));
  EXPECT_EQ(decode(sent[1]).source, "kelvora-zud.a");
  xPL_releaseMessage(r);
  std::vector<String> reuse;
  for (const char *t : {"KELVORA", "ZUD", "Z", "KELVORA", "ZUD", "Z"}) reuse.push_back(xPL_StrDup(t));
  EXPECT_STREQ(xPL_getServiceVendor(a), "kelvora");
  EXPECT_STREQ(xPL_getServiceDeviceID(a), "zud");
  EXPECT_STREQ(xPL_getServiceInstanceID(a), "a");
  for (String t : reuse) xPL_FreeStr(t);
}

}  // namespace
