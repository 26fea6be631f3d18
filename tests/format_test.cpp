// The xPL text that the formatter writes, its size limit, and the messages
// it refuses to write.
#include <gtest/gtest.h>

#include <string>

#include "xpl_test_helpers.h"

namespace {

using xpltest::sendableMessage;
using xpltest::contains;
using xpltest::debugLogOf;
using xpltest::MessageHolder;

std::string formatted(xPL_MessagePtr message) {
  const char *text = xPL_formatMessage(message);
  return text == nullptr ? std::string("<none>") : std::string(text);
}

// A created broadcast trigger from vendor-device.instance.
xPL_MessagePtr broadcastTrigger(const char *schemaClass, const char *schemaType) {
  xPL_MessagePtr m = sendableMessage(xPL_MESSAGE_TRIGGER, "vendor", "device", "instance");
  xPL_setBroadcastMessage(m, TRUE);
  xPL_setSchema(m, schemaClass, schemaType);
  return m;
}

TEST(Format, BroadcastTriggerWritesExactlyTheseLines) {
  MessageHolder m(broadcastTrigger("weather", "alert"));
  xPL_addMessageNamedValue(m.get(), "a", "1");
  xPL_addMessageNamedValue(m.get(), "b", "2");
  EXPECT_EQ(formatted(m.get()),
            "xpl-trig\n{\nhop=1\nsource=vendor-device.instance\ntarget=*\n}\n"
            "weather.alert\n{\na=1\nb=2\n}\n");
}

TEST(Format, EachTypeHasItsKeywordAndHopIsAlwaysOne) {
  // A received message keeps the hop count it arrived with.
  MessageHolder m(parseMessage("xpl-trig\n{\nhop=7\nsource=a-b.c\ntarget=*\n}\ns.t\n{\n}\n"));
  ASSERT_TRUE(m);
  ASSERT_EQ(xPL_getHopCount(m.get()), 7);
  xPL_setMessageType(m.get(), xPL_MESSAGE_COMMAND);
  EXPECT_EQ(formatted(m.get()).substr(0, 16), "xpl-cmnd\n{\nhop=1");
  xPL_setMessageType(m.get(), xPL_MESSAGE_STATUS);
  EXPECT_EQ(formatted(m.get()).substr(0, 9), "xpl-stat\n");
}

TEST(Format, EmptyBodyAndAbsentValue) {
  MessageHolder m(broadcastTrigger("hbeat", "end"));
  EXPECT_EQ(formatted(m.get()),
            "xpl-trig\n{\nhop=1\nsource=vendor-device.instance\ntarget=*\n}\nhbeat.end\n{\n}\n");
  xPL_addMessageNamedValue(m.get(), "empty", nullptr);
  xPL_clearMessageNamedValues(m.get());
  xPL_addMessageNamedValue(m.get(), "empty", nullptr);
  EXPECT_TRUE(contains(formatted(m.get()), "hbeat.end\n{\nempty=\n}\n"));
}

TEST(Format, GroupAndDeviceTargetsAndBroadcastPrecedence) {
  MessageHolder g(sendableMessage(xPL_MESSAGE_COMMAND, "v", "d", "i"));
  xPL_setTargetGroup(g.get(), "lights");
  xPL_setSchema(g.get(), "x10", "basic");
  EXPECT_TRUE(contains(formatted(g.get()), "\ntarget=XPL-GROUP.lights\n}\n"));

  MessageHolder t(sendableMessage(xPL_MESSAGE_COMMAND, "v", "d", "i"));
  xPL_setTarget(t.get(), "acme", "lamp", "hall.1");
  xPL_setSchema(t.get(), "x10", "basic");
  EXPECT_TRUE(contains(formatted(t.get()), "\ntarget=acme-lamp.hall.1\n}\n"));
  // The broadcast flag wins over a device target that is also set.
  xPL_setBroadcastMessage(t.get(), TRUE);
  EXPECT_TRUE(contains(formatted(t.get()), "\ntarget=*\n}\n"));
}

TEST(Format, BinaryValueIsWrittenAsUpperCaseHex) {
  MessageHolder m(parseMessage(
      "xpl-cmnd\n{\nhop=1\nsource=a-b.c\ntarget=*\n}\nraw.data\n{\nx!0AFF\nnone!\n}\n"));
  ASSERT_TRUE(m);
  EXPECT_TRUE(contains(formatted(m.get()), "raw.data\n{\nx=0AFF\nnone=\n}\n"));
}

TEST(Format, UnknownTypeIsRefused) {
  MessageHolder m(broadcastTrigger("s", "t"));
  xPL_setMessageType(m.get(), xPL_MESSAGE_ANY);
  const std::string log = debugLogOf([&] { EXPECT_EQ(xPL_formatMessage(m.get()), nullptr); });
  EXPECT_TRUE(contains(log, "Unable to format message -- invalid/unknown message type 0\n"));
  EXPECT_EQ(xPL_formatMessage(nullptr), nullptr);
}

TEST(Format, MissingPartsAreRefusedWithALogLine) {
  MessageHolder noSource(sendableMessage(xPL_MESSAGE_TRIGGER, "v", "d", nullptr));
  xPL_setBroadcastMessage(noSource.get(), TRUE);
  xPL_setSchema(noSource.get(), "s", "t");
  std::string log = debugLogOf([&] { EXPECT_EQ(xPL_formatMessage(noSource.get()), nullptr); });
  EXPECT_TRUE(
      contains(log, "Unable to format message -- source vendor, device or instance is missing\n"));

  MessageHolder noSchema(broadcastTrigger("s", nullptr));
  log = debugLogOf([&] { EXPECT_EQ(xPL_formatMessage(noSchema.get()), nullptr); });
  EXPECT_TRUE(contains(log, "Unable to format message -- schema class or type is missing\n"));

  MessageHolder noTarget(sendableMessage(xPL_MESSAGE_COMMAND, "v", "d", "i"));
  xPL_setTarget(noTarget.get(), "a", nullptr, "c");
  xPL_setSchema(noTarget.get(), "s", "t");
  log = debugLogOf([&] { EXPECT_EQ(xPL_formatMessage(noTarget.get()), nullptr); });
  EXPECT_TRUE(
      contains(log, "Unable to format message -- target vendor, device or instance is missing\n"));
  // A broadcast does not need the target parts.
  xPL_setBroadcastMessage(noTarget.get(), TRUE);
  EXPECT_NE(xPL_formatMessage(noTarget.get()), nullptr);
}

TEST(Format, TextOf1499CharactersFitsAnd1500DoesNot) {
  MessageHolder m(broadcastTrigger("s", "t"));
  xPL_addMessageNamedValue(m.get(), "v", "");
  const size_t base = formatted(m.get()).size();
  const std::string fits(1499 - base, 'x');
  xPL_setMessageNamedValue(m.get(), "v", fits.c_str());
  EXPECT_EQ(formatted(m.get()).size(), 1499u);

  const std::string tooLong = fits + "x";
  xPL_setMessageNamedValue(m.get(), "v", tooLong.c_str());
  const std::string log = debugLogOf([&] { EXPECT_EQ(xPL_formatMessage(m.get()), nullptr); });
  EXPECT_TRUE(contains(log, "xPL_DEBUG: Message exceeds MSG_MAX_SIZE (1500) -- not sent!\n"));
  EXPECT_TRUE(contains(log, "xPL_DEBUG: ** Too Long Message is, to date [xpl-trig\n{\nhop=1"));
}

TEST(Format, OverlongBinaryValueIsRefusedToo) {
  // 700 bytes (1400 digits) after a 100-character text: the binary value is
  // what crosses the limit.
  std::string text = "xpl-cmnd\n{\nhop=1\nsource=a-b.c\ntarget=*\n}\nraw.data\n{\npad=";
  text += std::string(100, 'p') + "\nx!" + std::string(1400, 'A') + "\n}\n";
  MessageHolder m(parseMessage(text.c_str()));
  ASSERT_TRUE(m);
  const std::string log = debugLogOf([&] { EXPECT_EQ(xPL_formatMessage(m.get()), nullptr); });
  EXPECT_TRUE(contains(log, "Message exceeds MSG_MAX_SIZE (1500) -- not sent!\n"));
  xPL_clearMessageNamedValues(m.get());
  EXPECT_EQ(xPL_formatMessage(m.get()),
            std::string("xpl-cmnd\n{\nhop=1\nsource=a-b.c\ntarget=*\n}\nraw.data\n{\n}\n"));
}

// What the raw sender was handed, and what it answers.
std::string sentText;
int sentLength = -1;
int sendCount = 0;
Bool sendResult = TRUE;
Bool captureSend(const char *data, int length) {
  sentText.assign(data, static_cast<size_t>(length));
  sentLength = length;
  sendCount++;
  return sendResult;
}

class SendTest : public testing::Test {
 protected:
  void SetUp() override {
    sentText.clear();
    sentLength = -1;
    sendCount = 0;
    sendResult = TRUE;
    xPL_setRawSender(captureSend);
  }
  void TearDown() override { xPL_setRawSender(nullptr); }
};

TEST_F(SendTest, SendHandsTheTextWithoutItsTerminatorToTheRawSender) {
  MessageHolder m(broadcastTrigger("weather", "alert"));
  xPL_addMessageNamedValue(m.get(), "a", "1");
  const std::string expected =
      "xpl-trig\n{\nhop=1\nsource=vendor-device.instance\ntarget=*\n}\nweather.alert\n{\na=1\n}\n";
  const std::string log = debugLogOf([&] { EXPECT_TRUE(xPL_sendMessage(m.get())); });
  EXPECT_EQ(sentText, expected);
  EXPECT_EQ(sentLength, static_cast<int>(expected.size()));
  EXPECT_TRUE(contains(log, "xPL_DEBUG: About to broadcast " + std::to_string(expected.size()) +
                                " bytes as [" + expected + "]\n"));
}

TEST_F(SendTest, CreatedMessageGoesOutWithItsServicesIdentity) {
  xPL_ServicePtr service = xPL_createService("kelvora", "zud", "main");
  MessageHolder m(xPL_createGroupTargetedMessage(service, xPL_MESSAGE_STATUS, "lights"));
  xPL_setSchema(m.get(), "x10", "basic");
  xPL_addMessageNamedValue(m.get(), "device", "a1");
  EXPECT_TRUE(xPL_sendMessage(m.get()));
  EXPECT_EQ(sentText,
            "xpl-stat\n{\nhop=1\nsource=kelvora-zud.main\ntarget=XPL-GROUP.lights\n}\n"
            "x10.basic\n{\ndevice=a1\n}\n");
  m.reset();
  xPL_releaseService(service);
}

TEST_F(SendTest, SendReportsTheRawSendersFailure) {
  MessageHolder m(broadcastTrigger("weather", "alert"));
  sendResult = FALSE;
  EXPECT_FALSE(xPL_sendMessage(m.get()));
  EXPECT_EQ(sendCount, 1);
}

TEST_F(SendTest, UnformattableMessageIsNeverSent) {
  MessageHolder m(broadcastTrigger("weather", "alert"));
  xPL_addMessageNamedValue(m.get(), "v", std::string(1500, 'x').c_str());
  EXPECT_FALSE(xPL_sendMessage(m.get()));
  xPL_setMessageType(m.get(), xPL_MESSAGE_ANY);
  EXPECT_FALSE(xPL_sendMessage(m.get()));
  EXPECT_EQ(sendCount, 0);
}

}  // namespace
