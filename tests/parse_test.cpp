// Parsing xPL text into received messages: what is tolerated, what each
// rejection logs, and the receive handler draining a datagram socket.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "xpl_test_helpers.h"

namespace {

using xpltest::contains;
using xpltest::debugLogOf;
using xpltest::MessageHolder;

constexpr const char *kHeader = "xpl-cmnd\n{\nhop=1\nsource=a-b.c\ntarget=*\n}\n";

// A command with the standard header, the given schema line and body lines.
std::string command(const std::string &schema, const std::string &body) {
  return std::string(kHeader) + schema + "\n{\n" + body + "}\n";
}

// Parses text that must be rejected and returns what was logged.
std::string rejectionLog(const std::string &text) {
  return debugLogOf([&] {
    xPL_MessagePtr m = parseMessage(text.c_str());
    EXPECT_EQ(m, nullptr) << text;
    if (m != nullptr) xPL_releaseMessage(m);
  });
}

TEST(Parse, WellFormedCommandGivesAReceivedMessage) {
  MessageHolder m(parseMessage(
      "XPL-CMND\n{\nhop=3\nsource=acme-lamp.hall\ntarget=kelvora-zud.main\n}\n"
      "control.basic.x\n{\ndevice=lamp\ncurrent=high=1!\n}\n"));
  ASSERT_TRUE(m);
  EXPECT_TRUE(xPL_isReceivedMessage(m.get()));
  EXPECT_EQ(xPL_getMessageType(m.get()), xPL_MESSAGE_COMMAND);
  EXPECT_EQ(xPL_getHopCount(m.get()), 3);
  EXPECT_STREQ(xPL_getSourceVendor(m.get()), "acme");
  EXPECT_STREQ(xPL_getSourceDeviceID(m.get()), "lamp");
  EXPECT_STREQ(xPL_getSourceInstanceID(m.get()), "hall");
  EXPECT_FALSE(xPL_isBroadcastMessage(m.get()));
  EXPECT_FALSE(xPL_isGroupMessage(m.get()));
  EXPECT_STREQ(xPL_getTargetVendor(m.get()), "kelvora");
  EXPECT_STREQ(xPL_getTargetDeviceID(m.get()), "zud");
  EXPECT_STREQ(xPL_getTargetInstanceID(m.get()), "main");
  EXPECT_STREQ(xPL_getSchemaClass(m.get()), "control");
  EXPECT_STREQ(xPL_getSchemaType(m.get()), "basic.x");
  // Only the body remains: the header entries are gone.
  EXPECT_EQ(xPL_getNamedValueCount(xPL_getMessageBody(m.get())), 2);
  EXPECT_FALSE(xPL_doesMessageNamedValueExist(m.get(), "hop"));
  EXPECT_STREQ(xPL_getMessageNamedValue(m.get(), "current"), "high=1!");
}

TEST(Parse, StatusAndTriggerKeywordsAndFormatRoundTrip) {
  MessageHolder s(parseMessage("xpl-stat\n{\nhop=1\nsource=a-b.c\ntarget=*\n}\ns.t\n{\n}\n"));
  ASSERT_TRUE(s);
  EXPECT_EQ(xPL_getMessageType(s.get()), xPL_MESSAGE_STATUS);

  const std::string text = "xpl-trig\n{\nhop=1\nsource=v-d.i\ntarget=*\n}\nw.a\n{\nk=v\n}\n";
  MessageHolder t(parseMessage(text.c_str()));
  ASSERT_TRUE(t);
  EXPECT_EQ(xPL_getMessageType(t.get()), xPL_MESSAGE_TRIGGER);
  EXPECT_EQ(std::string(xPL_formatMessage(t.get())), text);
}

TEST(Parse, LeadingBlanksAndTrailingTextAreTolerated) {
  MessageHolder m(parseMessage(("\n\n  \t\x01\xff" + command("s.t", "a=1\n") + "garbage{").c_str()));
  ASSERT_TRUE(m);
  EXPECT_STREQ(xPL_getMessageNamedValue(m.get(), "a"), "1");

  // Skippable characters between the blocks, too.
  MessageHolder between(parseMessage(
      "xpl-cmnd\n{\nhop=1\nsource=a-b.c\ntarget=*\n}\n \n\t s.t\n{\n}\n"));
  EXPECT_TRUE(between);
}

TEST(Parse, UnprintableCharactersAreStoredAsBars) {
  MessageHolder m(parseMessage(command("s.t", "n\x01{ame=v\x7f~ x\n").c_str()));
  ASSERT_TRUE(m);
  EXPECT_STREQ(xPL_getMessageNamedValue(m.get(), "n||ame"), "v|| x");
}

TEST(Parse, LineWithoutEqualsJoinsTheNextName) {
  MessageHolder m(parseMessage(command("s.t", "abc\ndef=1\n").c_str()));
  ASSERT_TRUE(m);
  EXPECT_STREQ(xPL_getMessageNamedValue(m.get(), "abc|def"), "1");
  // A "}" inside a name ends the block and drops the partial name.
  MessageHolder cut(parseMessage((std::string(kHeader) + "s.t\n{\nx=1\npart}\n").c_str()));
  ASSERT_TRUE(cut);
  EXPECT_EQ(xPL_getNamedValueCount(xPL_getMessageBody(cut.get())), 1);
}

TEST(Parse, AddressesSplitAtFirstDashThenNextDot) {
  MessageHolder m(parseMessage(
      "xpl-cmnd\n{\nhop=1\nsource=v-d.i.j\ntarget=a.b-c.d\n}\ns.t\n{\n}\n"));
  ASSERT_TRUE(m);
  EXPECT_STREQ(xPL_getSourceVendor(m.get()), "v");
  EXPECT_STREQ(xPL_getSourceDeviceID(m.get()), "d");
  EXPECT_STREQ(xPL_getSourceInstanceID(m.get()), "i.j");
  EXPECT_STREQ(xPL_getTargetVendor(m.get()), "a.b");
  EXPECT_STREQ(xPL_getTargetDeviceID(m.get()), "c");
  EXPECT_STREQ(xPL_getTargetInstanceID(m.get()), "d");
}

TEST(Parse, GroupTargetKeepsItsWholeNameWithThePrefix) {
  MessageHolder m(parseMessage(
      "xpl-cmnd\n{\nhop=1\nsource=a-b.c\ntarget=xpl-group.hall\n}\ns.t\n{\n}\n"));
  ASSERT_TRUE(m);
  EXPECT_TRUE(xPL_isGroupMessage(m.get()));
  EXPECT_FALSE(xPL_isBroadcastMessage(m.get()));
  EXPECT_STREQ(xPL_getTargetGroup(m.get()), "XPL-GROUP.hall");
  EXPECT_EQ(xPL_getTargetVendor(m.get()), nullptr);

  MessageHolder longName(parseMessage(
      "xpl-cmnd\n{\nhop=1\nsource=a-b.c\ntarget=XpL-gRoUp.upstairs.bedrooms\n}\ns.t\n{\n}\n"));
  ASSERT_TRUE(longName);
  EXPECT_STREQ(xPL_getTargetGroup(longName.get()), "XPL-GROUP.upstairs.bedrooms");
}

TEST(Parse, BroadcastTargetIsExactlyAStar) {
  MessageHolder m(parseMessage((kHeader + std::string("s.t\n{\n}\n")).c_str()));
  ASSERT_TRUE(m);
  EXPECT_TRUE(xPL_isBroadcastMessage(m.get()));

  const std::string log = rejectionLog(
      "xpl-cmnd\n{\nhop=1\nsource=a-b.c\ntarget=*x\n}\ns.t\n{\n}\n");
  EXPECT_TRUE(contains(log, "xPL_DEBUG: TARGET Missing Device ID - *x\n"));
  EXPECT_TRUE(contains(log, "xPL_DEBUG: Unable to parse message header\n"));
}

TEST(Parse, BinaryValues) {
  MessageHolder m(parseMessage(command("s.t", "x!0A0B\nempty!\n").c_str()));
  ASSERT_TRUE(m);
  // Binary values are not text, and come back as the bytes they held.
  EXPECT_TRUE(xPL_doesMessageNamedValueExist(m.get(), "x"));
  EXPECT_EQ(xPL_getMessageNamedValue(m.get(), "x"), nullptr);
  EXPECT_TRUE(xPL_doesMessageNamedValueExist(m.get(), "empty"));
  EXPECT_EQ(xPL_getMessageNamedValue(m.get(), "empty"), nullptr);
  const char *text = xPL_formatMessage(m.get());
  ASSERT_NE(text, nullptr);
  EXPECT_TRUE(contains(text, "s.t\n{\nx=0A0B\nempty=\n}\n")) << text;

  for (const char *bad : {"x!0a\n", "x!0A0\n", "x!0G\n"}) {
    const std::string log = rejectionLog(command("s.t", bad));
    EXPECT_TRUE(contains(log, "Unable to xlate binary value for name x\n")) << bad;
    EXPECT_TRUE(contains(log, "Error parsing message block\n")) << bad;
  }
}

struct Rejection {
  const char *text;
  const char *logLine;
};

TEST(ParseRejects, EachMalformedTextLogsItsReason) {
  const std::vector<Rejection> cases = {
      {" \n\n\t  ", "Error parsing message header\n"},
      {"", "Error parsing message header\n"},
      {"xpl-cmnd\r\n{\n}\n", "Unknown message header of xpl-cmnd| - bad message\n"},
      {"xpl-cmnd\r\n{\r\nhop=1\r\n}\r\n",
       "Got invalid character parsing start of block -  \r at position 11 (wanted a LF)\n"},
      {"xpl-cmnd\n {\n", "Got invalid character parsing start of block -   at position 9 (wanted a {)\n"},
      {"xpl-cmnd\n{x", "Got invalid character parsing start of block -  x at position 10 (wanted a LF)\n"},
      {"xpl-cmnd\n{\nhop=1\n}x", "Got invalid character parsing end of name/value -  x at position 18 (wanted a LF)\n"},
      {"xpl-cmnd\n{\nhop=1\n", "Ran out of characters parsing block\n"},
      {"xpl-cmnd", "Ran out of characters parsing block\n"},
      {"xpl-foo\n{\n}\n", "Unknown message header of xpl-foo - bad message\n"},
      {"xpl-cmnd\n{\nsource=a-b.c\ntarget=*\n}\ns.t\n{\n}\n", "Message missing HOP count\n"},
      {"xpl-cmnd\n{\nhop=0\nsource=a-b.c\ntarget=*\n}\ns.t\n{\n}\n", "Message HOP Count invalid\n"},
      {"xpl-cmnd\n{\nhop=-1\nsource=a-b.c\ntarget=*\n}\ns.t\n{\n}\n", "Message HOP Count invalid\n"},
      {"xpl-cmnd\n{\nhop=\nsource=a-b.c\ntarget=*\n}\ns.t\n{\n}\n", "Message HOP Count invalid\n"},
      {"xpl-cmnd\n{\nhop=1x\nsource=a-b.c\ntarget=*\n}\ns.t\n{\n}\n", "Message HOP Count invalid\n"},
      {"xpl-cmnd\n{\nhop=1\ntarget=*\n}\ns.t\n{\n}\n", "Message missing SOURCE\n"},
      {"xpl-cmnd\n{\nhop=1\nsource=abc\ntarget=*\n}\ns.t\n{\n}\n", "SOURCE Missing Device ID - abc\n"},
      {"xpl-cmnd\n{\nhop=1\nsource=a.x-bc\ntarget=*\n}\ns.t\n{\n}\n", "SOURCE Missing Instance ID - a.x.bc\n"},
      {"xpl-cmnd\n{\nhop=1\nsource=a-b.c\n}\ns.t\n{\n}\n", "Message missing TARGET\n"},
      {"xpl-cmnd\n{\nhop=1\nsource=a-b.c\ntarget=v-d\n}\ns.t\n{\n}\n", "TARGET Missing Instance ID - v.d\n"},
      {"xpl-cmnd\n{\nhop=1\nsource=a-b.c\ntarget=*\n}\nschema\n{\n}\n", "Malformed message block header - schema\n"},
      {"xpl-cmnd\n{\nhop=1\nsource=a-b.c\ntarget=*\n}\ns.t\n{\nx=1\n", "Error parsing message block\n"},
  };
  for (const Rejection &c : cases) {
    const std::string log = rejectionLog(c.text);
    EXPECT_TRUE(contains(log, std::string("xPL_DEBUG: ") + c.logLine))
        << "text: " << c.text << "\nlog: " << log;
  }
}

TEST(ParseRejects, HeaderChecksLogWhyTheHeaderFailed) {
  const std::string log = rejectionLog("xpl-cmnd\n{\nhop=0\nsource=a-b.c\ntarget=*\n}\ns.t\n{\n}\n");
  EXPECT_TRUE(contains(log, "Message HOP Count invalid\n"));
  EXPECT_TRUE(contains(log, "Unable to parse message header\n"));
}

TEST(ParseRejects, TextWithoutSchemaBlock) {
  for (const std::string &text : {std::string(kHeader), std::string(kHeader) + " \n\t\n"}) {
    const std::string log = rejectionLog(text);
    EXPECT_TRUE(contains(log, "xPL_DEBUG: Message has no schema block - bad message\n")) << text;
  }
}

TEST(ParseRejects, BinaryHeaderEntries) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"xpl-cmnd\n{\nhop!01\nsource=a-b.c\ntarget=*\n}\ns.t\n{\n}\n", "HOP"},
      {"xpl-cmnd\n{\nhop=1\nsource!AB\ntarget=*\n}\ns.t\n{\n}\n", "SOURCE"},
      {"xpl-cmnd\n{\nhop=1\nsource=a-b.c\ntarget!2A\n}\ns.t\n{\n}\n", "TARGET"},
  };
  for (const auto &c : cases) {
    const std::string log = rejectionLog(c.first);
    EXPECT_TRUE(contains(log, "Message " + c.second + " entry is not text - bad message\n")) << log;
  }
}

TEST(ParseRejects, OverlongHeaderNameAndValue) {
  // 127 header characters fit (then fail as an unknown keyword); 128 do not.
  std::string log = rejectionLog(std::string(127, 'h') + "\n{\n}\n");
  EXPECT_FALSE(contains(log, "Block header longer"));
  EXPECT_TRUE(contains(log, "Unknown message header of " + std::string(127, 'h')));
  log = rejectionLog(std::string(128, 'h') + "\n{\n}\n");
  EXPECT_TRUE(contains(log, "Block header longer than 127 characters at position 127 - bad message\n"));
  EXPECT_TRUE(contains(log, "Error parsing message header\n"));

  MessageHolder name255(parseMessage(command("s.t", std::string(255, 'n') + "=1\n").c_str()));
  EXPECT_TRUE(name255);
  log = rejectionLog(command("s.t", std::string(256, 'n') + "=1\n"));
  EXPECT_TRUE(contains(log, "Name longer than 255 characters at position 261 - bad message\n"));

  MessageHolder value1499(parseMessage(command("s.t", "v=" + std::string(1499, 'v') + "\n").c_str()));
  ASSERT_TRUE(value1499);
  EXPECT_EQ(std::string(xPL_getMessageNamedValue(value1499.get(), "v")).size(), 1499u);
  log = rejectionLog(command("s.t", "v=" + std::string(1500, 'v') + "\n"));
  EXPECT_TRUE(contains(log, "Value longer than 1499 characters at position 1507 - bad message\n"));
}

TEST(Parse, FirstOfRepeatedHeaderEntriesWinsAndOthersAreIgnored) {
  MessageHolder m(parseMessage(
      "xpl-cmnd\n{\nHOP=2\nextra=x\nhop=9\nSource=a-b.c\nsource=z-z.z\ntarget=*\n}\ns.t\n{\n}\n"));
  ASSERT_TRUE(m);
  EXPECT_EQ(xPL_getHopCount(m.get()), 2);
  EXPECT_STREQ(xPL_getSourceVendor(m.get()), "a");
}

}  // namespace
