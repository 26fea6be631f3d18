// The receive handler over a local datagram socket pair: every waiting
// datagram is offered raw, parsed, dispatched and released, and bad ones are
// dropped without stopping the drain.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "xpl_test_helpers.h"

namespace {

using xpltest::sendableMessage;
using xpltest::contains;
using xpltest::debugLogOf;
using xpltest::MessageHolder;

std::string datagram(const std::string &schema, const std::string &body) {
  return "xpl-trig\n{\nhop=1\nsource=acme-sensor.porch\ntarget=*\n}\n" + schema + "\n{\n" + body +
         "}\n";
}

// What the listeners saw, reset for every test.
struct Heard {
  std::vector<std::string> raw;
  std::vector<int> rawLengths;
  std::vector<std::string> schemas;
  std::vector<xPL_MessagePtr> messages;
};
Heard heard;

void rawListener(String text, int length, xPL_ObjectPtr) {
  heard.raw.emplace_back(text, static_cast<size_t>(length));
  heard.rawLengths.push_back(length);
}

void messageListener(xPL_MessagePtr message, xPL_ObjectPtr) {
  EXPECT_TRUE(xPL_isReceivedMessage(message));
  heard.schemas.push_back(std::string(xPL_getSchemaClass(message)) + "." +
                          xPL_getSchemaType(message));
  heard.messages.push_back(message);
}

// The listener socket is one end of a datagram pair; tests write to the other.
class ReceiveTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds_), 0);
    fcntl(fds_[0], F_SETFL, fcntl(fds_[0], F_GETFL) | O_NONBLOCK);
    savedFD_ = xPLFD;
    xPLFD = fds_[0];
    heard = Heard();
    xPL_setHubConfirmed(FALSE);
    xPL_addRawListener(rawListener, nullptr);
    xPL_addMessageListener(messageListener, nullptr);
  }
  void TearDown() override {
    xPL_removeMessageListener(messageListener);
    xPL_removeRawListener(rawListener);
    xPLFD = savedFD_;
    close(fds_[0]);
    close(fds_[1]);
    xPL_setHubConfirmed(FALSE);
  }
  void send(const std::string &text) {
    ASSERT_EQ(write(fds_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void receive() { xPL_receiveMessage(xPLFD, 0, -1); }

 public:
  void sendFromListener(const std::string &text) { send(text); }

 protected:
  bool queueEmpty() {
    char byte;
    return recv(fds_[0], &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
  }

  int fds_[2] = {-1, -1};
  int savedFD_ = -1;
};

TEST_F(ReceiveTest, DrainsEveryWaitingDatagramInOneCall) {
  const std::string first = datagram("sensor.basic", "temp=21\n");
  send(first);
  send(datagram("sensor.extra", ""));
  send(datagram("weather.alert", "a=1\n"));

  const std::string log = debugLogOf([&] { receive(); });
  EXPECT_EQ(heard.schemas,
            (std::vector<std::string>{"sensor.basic", "sensor.extra", "weather.alert"}));
  ASSERT_EQ(heard.raw.size(), 3u);
  EXPECT_EQ(heard.raw[0], first);
  EXPECT_EQ(heard.rawLengths[0], static_cast<int>(first.size()));
  EXPECT_TRUE(queueEmpty());
  EXPECT_TRUE(contains(log, "xPL_DEBUG: Just read " + std::to_string(first.size()) +
                                " bytes as packet [" + first + "]\n"));
  EXPECT_TRUE(contains(log, "xPL_DEBUG: Now dispatching valid message\n"));

  // Each message went back to the pool after its dispatch.
  xPL_MessagePtr reused = xPL_AllocMessage();
  EXPECT_EQ(reused, heard.messages.back());
  EXPECT_EQ(xPL_getSchemaClass(reused), nullptr);
  xPL_FreeMessage(reused);
}

TEST_F(ReceiveTest, BadDatagramIsDroppedAndTheDrainGoesOn) {
  send("not xpl at all");
  send(datagram("sensor.basic", ""));
  const std::string log = debugLogOf([&] { receive(); });
  EXPECT_EQ(heard.raw.size(), 2u);  // raw listeners hear both
  EXPECT_EQ(heard.schemas, (std::vector<std::string>{"sensor.basic"}));
  EXPECT_TRUE(contains(log, "xPL_DEBUG: Error parsing network message - ignored\n"));
}

TEST_F(ReceiveTest, LongDatagramIsReadAsIts2047FirstBytes) {
  send(std::string(3000, 'z'));
  receive();
  ASSERT_EQ(heard.rawLengths, (std::vector<int>{2047}));
  EXPECT_EQ(heard.raw[0], std::string(2047, 'z'));
}

TEST_F(ReceiveTest, EmptyDatagramIsReadAndRejected) {
  send("");
  send(datagram("sensor.basic", ""));
  receive();
  EXPECT_EQ(heard.rawLengths.size(), 2u);
  EXPECT_EQ(heard.rawLengths[0], 0);
  EXPECT_EQ(heard.schemas.size(), 1u);
}

// A raw listener that formats a message of its own, as one that sent a reply
// would: the received text must still parse as it arrived.
void formattingRawListener(String, int, xPL_ObjectPtr) {
  MessageHolder reply(sendableMessage(xPL_MESSAGE_STATUS, "me", "my", "self"));
  xPL_setBroadcastMessage(reply.get(), TRUE);
  xPL_setSchema(reply.get(), "reply", "clobber");
  ASSERT_NE(xPL_formatMessage(reply.get()), nullptr);
}

TEST_F(ReceiveTest, RawListenerThatFormatsCannotClobberTheReceivedText) {
  xPL_addRawListener(formattingRawListener, nullptr);
  send(datagram("sensor.basic", "temp=21\n"));
  receive();
  xPL_removeRawListener(formattingRawListener);
  EXPECT_EQ(heard.schemas, (std::vector<std::string>{"sensor.basic"}));
}

// A listener that runs the receive handler again (as a nested event loop
// would) while datagrams read with its own are still waiting, and while one
// more arrives: each is dispatched once, in the order of arrival.
ReceiveTest *nestingTest = nullptr;
bool nested = false;
void nestingListener(xPL_MessagePtr, xPL_ObjectPtr) {
  if (nested) return;
  nested = true;
  nestingTest->sendFromListener(datagram("late.d", ""));
  xPL_receiveMessage(xPLFD, 0, -1);
}

TEST_F(ReceiveTest, HandlerRunFromAListenerKeepsTheOrder) {
  send(datagram("first.a", ""));
  send(datagram("second.b", ""));
  send(datagram("third.c", ""));
  nestingTest = this;
  nested = false;
  xPL_addMessageListener(nestingListener, nullptr);
  receive();
  xPL_removeMessageListener(nestingListener);
  // The nesting listener is newer, so it runs before the recording one.
  EXPECT_EQ(heard.schemas,
            (std::vector<std::string>{"second.b", "third.c", "late.d", "first.a"}));
  EXPECT_TRUE(queueEmpty());
}

TEST_F(ReceiveTest, ReadErrorIsLoggedAndEndsTheDrain) {
  xPLFD = -1;
  const std::string log = debugLogOf([&] { receive(); });
  EXPECT_TRUE(contains(log, "xPL_DEBUG: Error reading xPL message from network - " +
                                std::string(strerror(EBADF)) + " (" + std::to_string(EBADF) +
                                ")\n"));
  EXPECT_TRUE(heard.raw.empty());
}

TEST_F(ReceiveTest, OrdinaryHeartbeatDoesNotConfirmTheHub) {
  send(datagram("hbeat.app", "interval=5\nport=1\nremote-ip=203.0.113.9\n"));
  receive();
  EXPECT_EQ(heard.schemas.size(), 1u);
  EXPECT_FALSE(xPL_isHubConfirmed());
}

// Before start-up the transport reports address 0.0.0.0 and port 3865: the
// hub's echo of our own heartbeat carries exactly these back.
TEST_F(ReceiveTest, HubEchoOfOurHeartbeatConfirmsTheHubOnce) {
  const std::string echo =
      datagram("hbeat.app", "interval=5\nport=" + std::to_string(xPL_getPort()) +
                                "\nremote-ip=" + xPL_getListenerIPAddr() + "\n");
  send(echo);
  send(echo);
  const std::string log = debugLogOf([&] { receive(); });
  EXPECT_TRUE(xPL_isHubConfirmed());
  const std::string line = "xPL_DEBUG: Hub detected and confirmed existing\n";
  ASSERT_TRUE(contains(log, line));
  EXPECT_EQ(log.find(line), log.rfind(line));  // logged once
  EXPECT_EQ(heard.schemas.size(), 2u);          // and dispatched like any message
}

TEST_F(ReceiveTest, ConfigClassInAnyCaseAlsoCounts) {
  send(datagram("CONFIG.whatever", "port=" + std::to_string(xPL_getPort()) +
                                       "\nremote-ip=" + xPL_getListenerIPAddr() + "\n"));
  receive();
  EXPECT_TRUE(xPL_isHubConfirmed());
}

TEST_F(ReceiveTest, NearMissesDoNotConfirmTheHub) {
  const std::string ip = xPL_getListenerIPAddr();
  const std::string port = std::to_string(xPL_getPort());
  send(datagram("hbeat.app", "port=0" + port + "\nremote-ip=" + ip + "\n"));
  send(datagram("hbeat.app", "port=" + port + "\nremote-ip=" + ip + " \n"));
  send(datagram("hbeat.app", "port=" + port + "\n"));
  send(datagram("sensor.basic", "port=" + port + "\nremote-ip=" + ip + "\n"));
  send(datagram("hbeat.app", "port=" + port + "\nremote-ip!00000000\n"));
  receive();
  EXPECT_EQ(heard.schemas.size(), 5u);
  EXPECT_FALSE(xPL_isHubConfirmed());
}

TEST(HubFlag, HookSetsAndClearsIt) {
  xPL_setHubConfirmed(TRUE);
  EXPECT_TRUE(xPL_isHubConfirmed());
  xPL_setHubConfirmed(FALSE);
  EXPECT_FALSE(xPL_isHubConfirmed());
}

}  // namespace
