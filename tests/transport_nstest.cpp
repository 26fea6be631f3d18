// The transport on real sockets: interface choice, broadcast address, hub
// and standalone listeners, raw sending and receiving, identifiers, start-up
// and shutdown.  Every case runs in a private network namespace of its own
// (one process per case), holding only the loopback interface unless the case
// adds a veth pair.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "netns.h"
#include "xPL_priv.h"

namespace {

// A UDP socket that closes with the object.
struct UdpSocket {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ~UdpSocket() {
    if (fd >= 0) close(fd);
  }
  bool bindTo(int port, bool reuse = false) {
    int one = 1;
    if (reuse) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    return bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  }
  bool sendTo(const std::string &ip, int port, const std::string &text) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
    return sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&address),
                  sizeof address) == static_cast<ssize_t>(text.size());
  }
  std::string receive(int timeoutMs) {
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buffer[4096];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, n) : std::string();
  }
};

bool isHexUpper(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }
bool isBase36(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'); }

std::string identifier() {
  String made = xPL_getFairlyUniqueIdent();
  std::string text = made;
  xPL_FreeStr(made);
  return text;
}

class TransportTest : public ::testing::Test {
 protected:
  void TearDown() override {
    xPL_shutdown();
    xPL_setDebugging(FALSE);
  }
};

TEST_F(TransportTest, OnlyLoopbackMeansNoInterfaceToChoose) {
  ASSERT_TRUE(testsupport::onlyLoopbackVisible());
  testing::internal::CaptureStderr();
  EXPECT_FALSE(xPL_initialize(xcViaHub));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("ERROR: Could not find a working, non-loopback network interface\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(xPLFD, -1);
  EXPECT_STREQ(xPL_getBroadcastInterface(), "");
}

TEST_F(TransportTest, InterfaceThatIsDownIsPassedOver) {
  ASSERT_EQ(std::system("ip link add xd0 type veth peer name xd1 && "
                        "ip addr add 10.9.0.1/24 dev xd0"),
            0);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(xPL_initialize(xcViaHub));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Could not find a working, non-loopback network interface"),
            std::string::npos);
  testsupport::removeVethPair("xd0");
}

TEST_F(TransportTest, VethInterfaceIsChosenAndItsBroadcastAddressComputed) {
  ASSERT_TRUE(testsupport::addVethPair("xv0", "xv1", "10.1.2.3/16"));
  xPL_setDebugging(TRUE);
  testing::internal::CaptureStderr();
  ASSERT_TRUE(xPL_initialize(xcViaHub));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_STREQ(xPL_getBroadcastInterface(), "xv0");
  EXPECT_STREQ(xPL_getBroadcastIPAddr(), "10.1.255.255");
  EXPECT_STREQ(xPL_getListenerIPAddr(), "10.1.2.3");
  EXPECT_EQ(xPL_getConnectType(), xcViaHub);
  EXPECT_NE(xPL_getPort(), XPL_PORT);
  EXPECT_GT(xPL_getPort(), 0);
  EXPECT_NE(log.find("Choose interface xv0 as default interface"), std::string::npos);
  EXPECT_NE(log.find("Assigned xPL Broadcast address of 10.1.255.255, port 3865"),
            std::string::npos);
  EXPECT_NE(log.find("xPL Starting in Hub mode on port " + std::to_string(xPL_getPort())),
            std::string::npos);
  EXPECT_NE(log.find("Initial receive socket buffer size is"), std::string::npos);

  // The first identifier of the run takes the interface address as prefix.
  std::string id = identifier();
  ASSERT_EQ(id.size(), 16u);
  EXPECT_EQ(id.substr(0, 8), "0A010203");
  for (size_t i = 8; i < 16; i++) EXPECT_TRUE(isBase36(id[i])) << id;
  testsupport::removeVethPair("xv0");
}

TEST_F(TransportTest, NamedLoopbackIsAcceptedUnchecked) {
  EXPECT_EQ(xPL_getPort(), XPL_PORT);
  xPL_setBroadcastInterface("lo");
  ASSERT_TRUE(xPL_initialize(xcViaHub));
  EXPECT_STREQ(xPL_getBroadcastIPAddr(), "127.255.255.255");
  EXPECT_STREQ(xPL_getListenerIPAddr(), "127.0.0.1");
  EXPECT_NE(xPL_getPort(), XPL_PORT);
}

TEST_F(TransportTest, UnknownInterfaceNameFailsWithItsName) {
  xPL_setBroadcastInterface("nosuch0");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(xPL_initialize(xcViaHub));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("ERROR: Unable to get IP addr for interface nosuch0"), std::string::npos);
  EXPECT_EQ(xPLFD, -1);
}

TEST_F(TransportTest, StartAndStopAreRefusedOutOfTurn) {
  EXPECT_FALSE(xPL_shutdown());
  xPL_setBroadcastInterface("lo");
  ASSERT_TRUE(xPL_initialize(xcViaHub));
  int listener = xPLFD;
  int port = xPL_getPort();
  EXPECT_FALSE(xPL_initialize(xcViaHub));
  EXPECT_EQ(xPLFD, listener);
  EXPECT_EQ(xPL_getPort(), port);

  // The interface cannot change under a running transport.
  xPL_setBroadcastInterface("eth0");
  EXPECT_STREQ(xPL_getBroadcastInterface(), "lo");

  EXPECT_TRUE(xPL_shutdown());
  EXPECT_EQ(xPLFD, -1);
  EXPECT_FALSE(xPL_shutdown());
}

TEST_F(TransportTest, OverlongInterfaceNameIsRefusedAndTheOldOneKept) {
  xPL_setBroadcastInterface("lo");
  testing::internal::CaptureStderr();
  xPL_setBroadcastInterface("abcdefghijklmnop");  // 16 characters
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_STREQ(xPL_getBroadcastInterface(), "lo");
  EXPECT_NE(log.find("ERROR: Interface name abcdefghijklmnop"), std::string::npos);
  xPL_setBroadcastInterface("abcdefghijklmno");  // 15 characters fit
  EXPECT_STREQ(xPL_getBroadcastInterface(), "abcdefghijklmno");
}

int serviceHeard = 0;
void countServiceMessage(xPL_ServicePtr, xPL_MessagePtr, xPL_ObjectPtr) { serviceHeard++; }

TEST_F(TransportTest, RestartedLibraryRoutesEachMessageToAServiceOnce) {
  xPL_setBroadcastInterface("lo");
  ASSERT_TRUE(xPL_initialize(xcViaHub));
  xPL_ServicePtr service = xPL_createService("kelvora", "test", "restart");
  xPL_addServiceListener(service, countServiceMessage, xPL_MESSAGE_ANY, NULL, NULL, NULL);
  ASSERT_TRUE(xPL_shutdown());
  ASSERT_TRUE(xPL_initialize(xcViaHub));
  UdpSocket sender;
  ASSERT_TRUE(sender.sendTo("127.0.0.1", xPL_getPort(),
                            "xpl-trig\n{\nhop=1\nsource=acme-x.y\ntarget=*\n}\nx.y\n{\n}\n"));
  xPL_processMessages(0);
  EXPECT_EQ(serviceHeard, 1);
  xPL_releaseService(service);
}

TEST_F(TransportTest, StandaloneTakesTheXplPortWhenFree) {
  xPL_setBroadcastInterface("lo");
  ASSERT_TRUE(xPL_initialize(xcStandAlone));
  EXPECT_EQ(xPL_getConnectType(), xcStandAlone);
  EXPECT_EQ(xPL_getPort(), XPL_PORT);
}

TEST_F(TransportTest, StandaloneFailsAgainstAHeldPortAndAutoFallsBackToHub) {
  UdpSocket holder;
  ASSERT_TRUE(holder.bindTo(XPL_PORT));  // no address reuse: refuses sharing
  xPL_setBroadcastInterface("lo");
  xPL_setDebugging(TRUE);

  testing::internal::CaptureStderr();
  EXPECT_FALSE(xPL_initialize(xcStandAlone));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Unable to bind listener socket to port 3865"), std::string::npos) << log;
  EXPECT_NE(log.find("Standalong connect failed - 0 0"), std::string::npos);
  EXPECT_EQ(xPLFD, -1);

  testing::internal::CaptureStderr();
  ASSERT_TRUE(xPL_initialize(xcAuto));
  log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Standalong connect failed - 2 0"), std::string::npos);
  EXPECT_NE(log.find("Attempting hub based xPL"), std::string::npos);
  EXPECT_EQ(xPL_getConnectType(), xcViaHub);
  EXPECT_NE(xPL_getPort(), XPL_PORT);
}

TEST_F(TransportTest, StandaloneAfterHubModeOwnsTheXplPort) {
  xPL_setBroadcastInterface("lo");
  ASSERT_TRUE(xPL_initialize(xcViaHub));
  ASSERT_NE(xPL_getPort(), XPL_PORT);
  ASSERT_TRUE(xPL_shutdown());
  {
    // The port hub mode had is free again; standalone must not take it.
    UdpSocket holder;
    ASSERT_TRUE(holder.bindTo(XPL_PORT));
    EXPECT_FALSE(xPL_initialize(xcStandAlone));
    EXPECT_STREQ(xPL_getStartupFailure(),
                 "cannot bind the listener socket to port 3865: Address already in use");
  }
  ASSERT_TRUE(xPL_initialize(xcAuto));
  EXPECT_EQ(xPL_getConnectType(), xcStandAlone);
  EXPECT_EQ(xPL_getPort(), XPL_PORT);
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  ASSERT_EQ(getsockname(xPLFD, reinterpret_cast<sockaddr *>(&bound), &length), 0);
  EXPECT_EQ(ntohs(bound.sin_port), XPL_PORT);
}

TEST_F(TransportTest, RawMessagesLeaveForTheBroadcastAddressOnTheXplPort) {
  UdpSocket hub;
  ASSERT_TRUE(hub.bindTo(XPL_PORT, true));
  xPL_setBroadcastInterface("lo");
  ASSERT_TRUE(xPL_initialize(xcViaHub));
  xPL_setDebugging(TRUE);
  testing::internal::CaptureStderr();
  EXPECT_TRUE(xPL_sendRawMessage("hello", 5));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(hub.receive(2000), "hello");
  EXPECT_NE(log.find("Broadcasted 5 bytes (of 5 attempted)"), std::string::npos);
}

TEST_F(TransportTest, DatagramTooLargeToSendIsReportedAsFailure) {
  xPL_setBroadcastInterface("lo");
  ASSERT_TRUE(xPL_initialize(xcViaHub));
  std::string huge(70000, 'x');
  xPL_setDebugging(TRUE);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(xPL_sendRawMessage(huge.data(), static_cast<int>(huge.size())));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Unable to broadcast message, "), std::string::npos);
}

int rawCount = 0;
void countRaw(String, int, xPL_ObjectPtr) { rawCount++; }

TEST_F(TransportTest, FloodOfDatagramsIsDrainedCompletely) {
  xPL_setBroadcastInterface("lo");
  ASSERT_TRUE(xPL_initialize(xcViaHub));
  xPL_addRawListener(countRaw, NULL);
  UdpSocket sender;
  const int flood = 300;
  for (int i = 0; i < flood; i++) {
    ASSERT_TRUE(sender.sendTo("127.0.0.1", xPL_getPort(), "datagram " + std::to_string(i)));
  }
  xPL_processMessages(0);
  EXPECT_EQ(rawCount, flood);
  xPL_removeRawListener(countRaw);
}

TEST_F(TransportTest, IdentifiersBeforeStartUpHaveAZeroPrefixForTheWholeRun) {
  std::string early = identifier();
  ASSERT_EQ(early.size(), 16u);
  EXPECT_EQ(early.substr(0, 8), "00000000");
  for (size_t i = 0; i < 8; i++) EXPECT_TRUE(isHexUpper(early[i]));
  // The first of the eight base-36 digits is always zero: 36^7 > 2^32.
  EXPECT_EQ(early[8], '0');

  xPL_setBroadcastInterface("lo");
  ASSERT_TRUE(xPL_initialize(xcViaHub));
  EXPECT_EQ(identifier().substr(0, 8), "00000000");
}

}  // namespace
