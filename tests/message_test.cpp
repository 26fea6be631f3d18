// The message model: setters and their case rule, target forms, body
// operations, and what release leaves behind.
#include <gtest/gtest.h>

#include <string>

#include "xpl_test_helpers.h"

namespace {

using xpltest::sendableMessage;
using xpltest::contains;
using xpltest::debugLogOf;
using xpltest::MessageHolder;

constexpr const char *kReceivedText =
    "xpl-stat\n{\nhop=2\nsource=acme-sensor.porch\ntarget=*\n}\nsensor.basic\n{\ntemp=21\n}\n";

TEST(MessageFields, SchemaSetterKeepsTheStoredSpellingWhenEqualIgnoringCase) {
  MessageHolder m(xPL_createBroadcastMessage(nullptr, xPL_MESSAGE_COMMAND));
  xPL_setSchema(m.get(), "Control", "basic");
  String stored = xPL_getSchemaClass(m.get());
  xPL_setSchemaClass(m.get(), "CONTROL");
  EXPECT_EQ(xPL_getSchemaClass(m.get()), stored);
  EXPECT_STREQ(xPL_getSchemaClass(m.get()), "Control");
  xPL_setSchemaType(m.get(), "status");
  EXPECT_STREQ(xPL_getSchemaType(m.get()), "status");
}

TEST(MessageFields, AbsentStringClearsAFieldThatHoldsOne) {
  MessageHolder m(xPL_createTargetedMessage(nullptr, xPL_MESSAGE_COMMAND, "v", "d", "i"));
  xPL_setSchema(m.get(), "a", "b");
  xPL_setSchema(m.get(), nullptr, nullptr);
  EXPECT_EQ(xPL_getSchemaClass(m.get()), nullptr);
  EXPECT_EQ(xPL_getSchemaType(m.get()), nullptr);
  xPL_setTargetVendor(m.get(), nullptr);
  EXPECT_EQ(xPL_getTargetVendor(m.get()), nullptr);
  EXPECT_STREQ(xPL_getTargetDeviceID(m.get()), "d");

  MessageHolder r(parseMessage(kReceivedText));
  ASSERT_TRUE(r);
  xPL_setSourceInstanceID(r.get(), nullptr);
  EXPECT_EQ(xPL_getSourceInstanceID(r.get()), nullptr);
  EXPECT_STREQ(xPL_getSourceVendor(r.get()), "acme");
}

TEST(MessageTargets, TargetCaseOnlyChangeKeepsStoredSpelling) {
  MessageHolder m(xPL_createTargetedMessage(nullptr, xPL_MESSAGE_COMMAND, "Acme", "lamp", "hall"));
  xPL_setTargetVendor(m.get(), "ACME");
  EXPECT_STREQ(xPL_getTargetVendor(m.get()), "Acme");
}

TEST(MessageTargets, GroupAndDeviceTargetsReplaceEachOther) {
  MessageHolder m(xPL_createTargetedMessage(nullptr, xPL_MESSAGE_COMMAND, "acme", "lamp", "hall"));
  xPL_setTargetGroup(m.get(), "lights");
  EXPECT_TRUE(xPL_isGroupMessage(m.get()));
  EXPECT_STREQ(xPL_getTargetGroup(m.get()), "lights");
  EXPECT_EQ(xPL_getTargetVendor(m.get()), nullptr);
  EXPECT_EQ(xPL_getTargetDeviceID(m.get()), nullptr);
  EXPECT_EQ(xPL_getTargetInstanceID(m.get()), nullptr);

  // The same group in another case changes nothing.
  String stored = xPL_getTargetGroup(m.get());
  xPL_setTargetGroup(m.get(), "LIGHTS");
  EXPECT_EQ(xPL_getTargetGroup(m.get()), stored);

  xPL_setTargetDeviceID(m.get(), "lamp");
  EXPECT_FALSE(xPL_isGroupMessage(m.get()));
  EXPECT_EQ(xPL_getTargetGroup(m.get()), nullptr);
  EXPECT_STREQ(xPL_getTargetDeviceID(m.get()), "lamp");

  // Clearing the group leaves the device target alone.
  xPL_setTargetGroup(m.get(), "lights");
  xPL_setTarget(m.get(), "acme", "lamp", "hall");
  xPL_setTargetGroup(m.get(), nullptr);
  EXPECT_FALSE(xPL_isGroupMessage(m.get()));
  EXPECT_STREQ(xPL_getTargetVendor(m.get()), "acme");
}

TEST(MessageTargets, BroadcastFlagSurvivesGroupAndTargetSetters) {
  MessageHolder m(xPL_createBroadcastMessage(nullptr, xPL_MESSAGE_TRIGGER));
  EXPECT_TRUE(xPL_isBroadcastMessage(m.get()));
  xPL_setTargetGroup(m.get(), "lights");
  xPL_setTarget(m.get(), "a", "b", "c");
  EXPECT_TRUE(xPL_isBroadcastMessage(m.get()));
  xPL_setBroadcastMessage(m.get(), FALSE);
  EXPECT_FALSE(xPL_isBroadcastMessage(m.get()));
  EXPECT_STREQ(xPL_getTargetInstanceID(m.get()), "c");
}

TEST(MessageCreation, CreatedMessagesStartAtHopOneAndGroupFormIsBare) {
  MessageHolder m(xPL_createGroupTargetedMessage(nullptr, xPL_MESSAGE_STATUS, "lights"));
  EXPECT_EQ(xPL_getMessageType(m.get()), xPL_MESSAGE_STATUS);
  EXPECT_EQ(xPL_getHopCount(m.get()), 1);
  EXPECT_FALSE(xPL_isReceivedMessage(m.get()));
  EXPECT_STREQ(xPL_getTargetGroup(m.get()), "lights");
  EXPECT_EQ(xPL_getMessageBody(m.get()) == nullptr ||
                xPL_getNamedValueCount(xPL_getMessageBody(m.get())) == 0,
            true);
  xPL_setMessageType(m.get(), xPL_MESSAGE_TRIGGER);
  EXPECT_EQ(xPL_getMessageType(m.get()), xPL_MESSAGE_TRIGGER);
}

TEST(MessageCreation, CreatedMessageBorrowsItsServicesIdentity) {
  xPL_ServicePtr service = xPL_createService("kelvora", "zud", "main");
  ASSERT_NE(service, nullptr);
  MessageHolder m(xPL_createTargetedMessage(service, xPL_MESSAGE_COMMAND, "acme", "lamp", "hall"));
  EXPECT_EQ(xPL_getSourceVendor(m.get()), xPL_getServiceVendor(service));
  EXPECT_EQ(xPL_getSourceDeviceID(m.get()), xPL_getServiceDeviceID(service));
  EXPECT_EQ(xPL_getSourceInstanceID(m.get()), xPL_getServiceInstanceID(service));
  // The source setters cannot touch the service's strings through it.
  xPL_setSourceVendor(m.get(), "other");
  EXPECT_STREQ(xPL_getServiceVendor(service), "kelvora");

  m.reset();
  EXPECT_STREQ(xPL_getServiceVendor(service), "kelvora");
  EXPECT_STREQ(xPL_getServiceDeviceID(service), "zud");
  EXPECT_STREQ(xPL_getServiceInstanceID(service), "main");
  xPL_releaseService(service);
}

TEST(MessageSource, SourceSettersActOnlyOnReceivedMessages) {
  static char vendor[] = "kelvora", device[] = "zud", instance[] = "main";
  MessageHolder m(sendableMessage(xPL_MESSAGE_TRIGGER, vendor, device, instance));
  xPL_setSource(m.get(), "x", "y", "z");
  xPL_setSourceVendor(m.get(), "other");
  EXPECT_EQ(xPL_getSourceVendor(m.get()), vendor);
  EXPECT_EQ(xPL_getSourceInstanceID(m.get()), instance);

  // Releasing a created message leaves the borrowed identity alone.
  const std::string log = debugLogOf([&] { m.reset(); });
  EXPECT_STREQ(vendor, "kelvora");
  EXPECT_STREQ(device, "zud");
  EXPECT_TRUE(contains(log, "xPL_DEBUG: Releasing message, TYPE=3, RECEIVED=0\n"));
  EXPECT_TRUE(contains(log, "xPL_DEBUG: NULLing out transmitted messages SOURCE parameters\n"));

  MessageHolder r(parseMessage(kReceivedText));
  ASSERT_TRUE(r);
  xPL_setSource(r.get(), "ACME", "lamp", "porch");
  EXPECT_STREQ(xPL_getSourceVendor(r.get()), "acme");  // equal ignoring case: kept
  EXPECT_STREQ(xPL_getSourceDeviceID(r.get()), "lamp");
  const std::string received = debugLogOf([&] { r.reset(); });
  EXPECT_TRUE(contains(received, "Releasing message, TYPE=2, RECEIVED=1\n"));
  EXPECT_TRUE(contains(received, "Releasing received messages SOURCE parameters\n"));
}

TEST(MessageBody, BodyIsCreatedOnFirstValueAndBehavesLikeAList) {
  MessageHolder m(xPL_createBroadcastMessage(nullptr, xPL_MESSAGE_TRIGGER));
  EXPECT_EQ(xPL_getMessageNamedValue(m.get(), "x"), nullptr);
  EXPECT_FALSE(xPL_doesMessageNamedValueExist(m.get(), "x"));
  xPL_clearMessageNamedValues(m.get());

  xPL_setMessageNamedValue(m.get(), "x", "1");
  ASSERT_NE(xPL_getMessageBody(m.get()), nullptr);
  xPL_addMessageNamedValue(m.get(), "X", "2");
  xPL_setMessageNamedValues(m.get(), "x", "3", "y", nullptr, nullptr);
  EXPECT_EQ(xPL_getNamedValueCount(xPL_getMessageBody(m.get())), 3);
  EXPECT_STREQ(xPL_getMessageNamedValue(m.get(), "X"), "3");
  EXPECT_TRUE(xPL_doesMessageNamedValueExist(m.get(), "y"));
  EXPECT_EQ(xPL_getMessageNamedValue(m.get(), "y"), nullptr);

  xPL_clearMessageNamedValues(m.get());
  EXPECT_EQ(xPL_getNamedValueCount(xPL_getMessageBody(m.get())), 0);
}

TEST(MessageRelease, ReusedRecordIsResetWithAnEmptyBodyAttached) {
  xPL_MessagePtr m = parseMessage(
      "xpl-cmnd\n{\nhop=5\nsource=a-b.c\ntarget=xpl-group.hall\n}\nx10.basic\n{\ncommand=on\n}\n");
  ASSERT_NE(m, nullptr);
  xPL_setBroadcastMessage(m, TRUE);
  xPL_NameValueListPtr body = xPL_getMessageBody(m);
  xPL_releaseMessage(m);

  xPL_MessagePtr again = xPL_AllocMessage();
  ASSERT_EQ(again, m);
  EXPECT_EQ(xPL_getMessageType(again), xPL_MESSAGE_ANY);
  EXPECT_EQ(xPL_getHopCount(again), 0);
  EXPECT_FALSE(xPL_isReceivedMessage(again));
  EXPECT_FALSE(xPL_isBroadcastMessage(again));
  EXPECT_FALSE(xPL_isGroupMessage(again));
  for (String s : {xPL_getSourceVendor(again), xPL_getSourceDeviceID(again),
                   xPL_getSourceInstanceID(again), xPL_getTargetGroup(again),
                   xPL_getTargetVendor(again), xPL_getTargetDeviceID(again),
                   xPL_getTargetInstanceID(again), xPL_getSchemaClass(again),
                   xPL_getSchemaType(again)}) {
    EXPECT_EQ(s, nullptr);
  }
  EXPECT_EQ(xPL_getMessageBody(again), body);
  EXPECT_EQ(xPL_getNamedValueCount(body), 0);
  xPL_releaseMessage(again);
  xPL_releaseMessage(nullptr);  // ignored
}

}  // namespace
