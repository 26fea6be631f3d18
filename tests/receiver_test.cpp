// The serial link: line assembly, command handshakes, the opening sequence,
// upload and the dumps.  Pseudo-terminals stand in for the serial port, and
// zud-sim for the receiver; no network is involved (sends are diverted).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "alert.h"
#include "process.h"
#include "receiver.h"
#include "xPL_priv.h"

using namespace std::chrono_literals;
using testsupport::Process;

namespace {

std::vector<std::string> sent;
Bool captureSend(const char *data, int length) {
  sent.emplace_back(data, length);
  return TRUE;
}

const std::string preamble(16, '\xab');
const std::string sampleText =
    "ZCZC-WXR-RWT-016001-016003-016015-016027-016039-016045-016073-016075-016085-016087-"
    "041045+0030-2201802-KBOI/NWS-";

// A pseudo-terminal pair: the test plays the receiver on the master side and
// the link reads the slave side as its port.
struct PtyPair {
  int master = -1;
  int slave = -1;
  PtyPair() {
    EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    struct termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
  }
  ~PtyPair() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
  void send(const std::string &bytes) {
    ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    // Let the bytes cross the line discipline before the link reads them.
    usleep(20000);
  }
  std::string receive() {
    std::string got;
    char chunk[1024];
    int flags = fcntl(master, F_GETFL);
    fcntl(master, F_SETFL, flags | O_NONBLOCK);
    ssize_t n;
    while ((n = read(master, chunk, sizeof chunk)) > 0) got.append(chunk, n);
    fcntl(master, F_SETFL, flags);
    return got;
  }
};

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    sent.clear();
    xPL_setRawSender(captureSend);
    zudService = xPL_createService("kelvora", "zud", "test");
    bp = buffer;
  }
  void TearDown() override {
    xPL_releaseService(zudService);
    zudService = nullptr;
    xPL_setRawSender(nullptr);
    ttyfd = -1;
  }
  // Runs zudread once, with stdout and stderr captured.
  void readOnce(std::string *out = nullptr, std::string *err = nullptr) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    zudread(ttyfd, 0, 0);
    std::string o = testing::internal::GetCapturedStdout();
    std::string e = testing::internal::GetCapturedStderr();
    if (out) *out = o;
    if (err) *err = e;
  }
};

TEST_F(LinkTest, LineArrivingInPiecesIsHandedOverOnceWithoutItsLineEnd) {
  PtyPair pty;
  ttyfd = pty.slave;
  std::string out;
  pty.send(preamble + "ZCZC-WXR-RWT-016001");
  readOnce();
  pty.send("+0030-2201802-KBOI");
  readOnce();
  EXPECT_TRUE(sent.empty());
  pty.send("/NWS-\r\n");
  readOnce(&out);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(out.find(preamble + "ZCZC-WXR-RWT-016001+0030-2201802-KBOI/NWS-\n"),
            std::string::npos);
  EXPECT_EQ(out.find('\r'), std::string::npos);
  EXPECT_EQ(bp, buffer);
}

TEST_F(LinkTest, EveryTrailingCarriageReturnAndLineFeedIsStripped) {
  PtyPair pty;
  ttyfd = pty.slave;
  std::string out;
  pty.send(preamble + sampleText + "\r\n\r\n");
  readOnce(&out);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(sent[0].find("location=Malheur OR\n"), std::string::npos);
  EXPECT_NE(out.find(sampleText + "\n"), std::string::npos);
}

TEST_F(LinkTest, LinesArrivingTogetherAreDecodedOneByOne) {
  PtyPair pty;
  ttyfd = pty.slave;
  std::string out, err;
  // Two headers and the start of a third in one read, as when the loop was
  // busy while the receiver talked: none may be lost.
  pty.send(preamble + sampleText + "\r\n" + preamble +
           "ZCZC-WXR-TOR-041045+0030-2201802-KBOI/NWS-\r\n" + preamble + "ZCZC-WXR");
  readOnce(&out, &err);
  EXPECT_EQ(err, "");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_NE(sent[0].find("event=Required Weekly Test\n"), std::string::npos);
  EXPECT_NE(sent[1].find("event=Tornado Warning\n"), std::string::npos);
  EXPECT_EQ(bp - buffer, 16 + 8);

  pty.send("-SVR-016001+0030-2201802-KBOI/NWS-\r\n");
  readOnce(&out, &err);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_NE(sent[2].find("event=Severe Thunderstorm Warning\n"), std::string::npos);
  EXPECT_EQ(bp, buffer);
}

TEST_F(LinkTest, TextBeforeAnInnerLineFeedIsALineOfItsOwn) {
  PtyPair pty;
  ttyfd = pty.slave;
  std::string out, err;
  pty.send("text\nmore");
  readOnce(&out, &err);
  EXPECT_NE(out.find("text\n"), std::string::npos);
  EXPECT_EQ(err, "bad preamble length: 0\n");
  EXPECT_EQ(bp - buffer, 4);
  pty.send("tail\n");
  readOnce(&out, &err);
  EXPECT_NE(out.find("moretail\n"), std::string::npos);
  EXPECT_EQ(err, "bad preamble length: 0\n");
  EXPECT_TRUE(sent.empty());
}

TEST_F(LinkTest, FullBufferWithoutLineFeedIsDiscardedAndAssemblyStartsAfresh) {
  PtyPair pty;
  ttyfd = pty.slave;
  pty.send(std::string(600, 'x'));
  std::string err;
  for (int i = 0; i < 5 && err.empty(); i++) readOnce(nullptr, &err);
  EXPECT_EQ(err, "line of 512 bytes without a line feed -- discarded\n");
  // The 88 bytes beyond the first 512 start the next line.
  readOnce();
  EXPECT_EQ(bp - buffer, 88);
  pty.send("\n");
  readOnce(nullptr, &err);
  EXPECT_EQ(err, "bad preamble length: 0\n");
  pty.send(preamble + sampleText + "\r\n");
  readOnce(nullptr, &err);
  EXPECT_EQ(err, "");
  EXPECT_EQ(sent.size(), 1u);
}

TEST_F(LinkTest, DumpShowsTheTimeAndEscapesUnprintableBytes) {
  PtyPair pty;
  ttyfd = pty.slave;
  std::string out;
  pty.send("A\x01\xab");
  readOnce(&out);
  // ctime's text: "Www Mmm dd hh:mm:ss yyyy\n", then the bytes.
  ASSERT_GT(out.size(), 25u);
  EXPECT_EQ(out[24], '\n');
  EXPECT_EQ(out.substr(25), "A[0x01][0xab]\n");
}

TEST_F(LinkTest, LostPortIsWithdrawnClosedAndReported) {
  PtyPair pty;
  int slave = dup(pty.slave);
  ttyfd = slave;
  tfile = "/dev/receiver-test";
  ASSERT_TRUE(xPL_addIODevice(zudread, 0, ttyfd, TRUE, FALSE, FALSE));
  close(pty.master);
  pty.master = -1;
  std::string err;
  readOnce(nullptr, &err);
  EXPECT_EQ(ttyfd, -1);
  EXPECT_NE(err.find("receiver port /dev/receiver-test lost"), std::string::npos) << err;
  EXPECT_NE(err.find("trying again every 5 s"), std::string::npos);
  // The descriptor is closed and no longer watched.
  EXPECT_EQ(fcntl(slave, F_GETFD), -1);
  EXPECT_FALSE(xPL_removeIODevice(slave));
}

TEST(WaitFor, OnlyTheExactCountOfPendingBytesCounts) {
  PtyPair pty;
  pty.send(std::string(513, 'z'));
  testing::internal::CaptureStdout();
  EXPECT_EQ(waitfor(pty.slave, 512), 0);
  char one;
  ASSERT_EQ(read(pty.slave, &one, 1), 1);
  EXPECT_EQ(waitfor(pty.slave, 512), 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "waitfor 513 bytes\nwaitfor 512 bytes\n");
}

TEST(WriteChar, RepeatsUntilTheReceiverAnswers) {
  PtyPair pty;
  testing::internal::CaptureStdout();
  EXPECT_EQ(writechar(pty.slave, "?", 5, 10), 0);
  pty.send("!");
  EXPECT_EQ(writechar(pty.slave, "d", 5, 10), 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "writechar returns 0, i = 5\nwritechar returns 1, i = 0\n");
  EXPECT_EQ(pty.receive(), "?????d");
}

TEST(WriteChar, FailedWriteIsReportedByTheCaller) {
  int saved = ttyfd;
  ttyfd = -1;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  test1(SIGUSR1);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  ttyfd = saved;
  EXPECT_EQ(out, "writechar returns -1, i = 0\n");
  EXPECT_EQ(err, "writechar t: Bad file descriptor\n");
}

TEST(OpenDevice, MissingPathLeavesNoPortAndPrintsNothing) {
  std::optional<std::string> before = tfile;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  opendevice("/nonexistent/ttyUSB9");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(ttyfd, -1);
  EXPECT_EQ(tfile, before);
}

TEST(OpenDevice, AnythingButATerminalIsRefusedBeforeAByteIsWritten) {
  testsupport::TempDir dir;
  std::string file = dir.file("not-a-port");
  ASSERT_TRUE(testsupport::writeFile(file, "keep me"));
  for (const std::string &path : {file, dir.path()}) {
    testing::internal::CaptureStderr();
    opendevice(path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), path + " is not a terminal -- not opened\n");
    EXPECT_EQ(ttyfd, -1);
  }
  EXPECT_EQ(testsupport::readFile(file), "keep me");
}

TEST(Dumps, ConfigurationBlockFieldsAndEventLayout) {
  zudconfig block;
  memset(&block, ' ', sizeof block);
  memcpy(block.lastmsg, "last\x01", 5);
  block.mainfreq = 1;
  block.altfreq = 7;
  memcpy(block.fips[0], "016001", 6);
  block.fips[1][0] = '\0';
  block.eomresetmode = '1';
  block.altfreqmode = '0';
  for (int i = 0; i < 80; i++) memcpy(block.events[i], i == 0 ? "TOR" : "???", 3);
  unsigned char raw[blocksize] = {};
  memcpy(raw, &block, sizeof block);

  testing::internal::CaptureStdout();
  outputconfig(raw);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.substr(0, 10), "last[0x01]");
  EXPECT_NE(out.find("\nmain freq = 162.400 alt freq = 162.550\n"), std::string::npos);
  EXPECT_NE(out.find("\nfips 1 016001\nfips 2 \nfips 3       \n"), std::string::npos);
  EXPECT_NE(out.find("\neom reset mode 1\nalt freq mode 0\n"), std::string::npos);
  std::string row = " TOR";
  for (int i = 1; i < 20; i++) row += " ???";
  std::string rest;
  for (int i = 0; i < 20; i++) rest += " ???";
  EXPECT_NE(out.find("\n" + row + "\n" + rest + "\n" + rest + "\n" + rest + "\n"),
            std::string::npos);

  testing::internal::CaptureStdout();
  outputbuffer(reinterpret_cast<const unsigned char *>("ab\n"), 3);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "3 bytes\nab[0x0a]\n");
}

TEST(Channels, FrequencyAndIndexConvertBothWays) {
  EXPECT_EQ(freqtochannel(162.400), 1);
  EXPECT_EQ(freqtochannel(162.475), 4);
  EXPECT_EQ(freqtochannel(162.550), 7);
  EXPECT_EQ(freqtochannel(162.413), 2);  // nearest channel
  EXPECT_EQ(freqtochannel(162.412), 1);
  EXPECT_DOUBLE_EQ(channeltofreq(4), 162.475);
}

// --- against the simulated receiver -------------------------------------

class SimTest : public LinkTest {
 protected:
  Process sim;
  std::string path;

  // Starts zud-sim with the given options and learns its terminal.
  void startSim(const std::vector<std::string> &options) {
    ASSERT_TRUE(sim.start(testsupport::binPath("zud-sim"), options));
    ASSERT_TRUE(sim.waitOut("\n", 5000ms));
    std::string first = sim.out().substr(0, sim.out().find('\n'));
    ASSERT_EQ(first.rfind("pty ", 0), 0u) << first;
    path = first.substr(4);
  }
  // Opens the simulated receiver, capturing what the link prints.
  void open(std::string *out, std::string *err) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    opendevice(path.c_str());
    *out = testing::internal::GetCapturedStdout();
    *err = testing::internal::GetCapturedStderr();
  }
  void TearDown() override {
    if (ttyfd >= 0) {
      xPL_removeIODevice(ttyfd);
      close(ttyfd);
    }
    LinkTest::TearDown();
  }
};

TEST_F(SimTest, OpeningQueriesAndDownloadsTheBlock) {
  startSim({"--freq", "162.475", "--altfreq", "162.550", "--fips", "016001,041045",
            "--ident", "TEST RECEIVER\\r\\n"});
  std::string out, err;
  open(&out, &err);
  ASSERT_GE(ttyfd, 0);
  EXPECT_EQ(*tfile, path);
  EXPECT_EQ(configread, 1);
  EXPECT_EQ(err, "");
  EXPECT_NE(out.find("TEST RECEIVER[0x0d][0x0a]\n"), std::string::npos) << out;
  EXPECT_NE(out.find("512 bytes\n"), std::string::npos);
  EXPECT_NE(out.find("main freq = 162.475 alt freq = 162.550\n"), std::string::npos);
  EXPECT_NE(out.find("fips 1 016001\nfips 2 041045\n"), std::string::npos);
  EXPECT_EQ(config[offsetof(zudconfig, mainfreq)], 4);
  EXPECT_TRUE(sim.waitOut("recv ?", 2000ms));
  EXPECT_TRUE(sim.waitOut("recv d", 2000ms));

  // The port is a device of the event loop: the test command's answer (the
  // built-in sample) arrives through it and is decoded.
  testing::internal::CaptureStdout();
  test1(SIGUSR1);
  testing::internal::GetCapturedStdout();
  sleep(1);
  std::string readOut;
  readOnce(&readOut);
  EXPECT_EQ(sent.size(), 1u) << readOut;
}

TEST_F(SimTest, SilentReceiverCostsBoundedWaitsAndLeavesTheBlockUnread) {
  startSim({"--mute", "?d"});
  std::string out, err;
  int before = configread;
  open(&out, &err);
  EXPECT_GE(ttyfd, 0);
  EXPECT_NE(err.find("writechar ?: "), std::string::npos) << err;
  EXPECT_NE(err.find("no answer to ? within 2 s\n"), std::string::npos);
  EXPECT_NE(err.find("writechar d: "), std::string::npos);
  EXPECT_NE(err.find("no configuration block within 10 s -- block not read\n"),
            std::string::npos);
  EXPECT_EQ(configread, before);
  EXPECT_NE(out.find("writechar returns 0, i = 50\n"), std::string::npos);
}

TEST_F(SimTest, BlockFollowedByExtraBytesIsNotTakenForABlock) {
  startSim({"--extra", "1"});
  std::string out, err;
  int before = configread;
  open(&out, &err);
  EXPECT_NE(err.find("no configuration block within 10 s"), std::string::npos) << err;
  EXPECT_NE(out.find("waitfor 513 bytes\n"), std::string::npos);
  EXPECT_EQ(configread, before);
}

TEST_F(SimTest, UploadIsAcknowledgedAndKeptByTheReceiver) {
  startSim({"--dump"});
  std::string out, err;
  open(&out, &err);
  ASSERT_EQ(configread, 1);
  unsigned char image[blocksize];
  memcpy(image, config, blocksize);
  image[offsetof(zudconfig, mainfreq)] = 6;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  writeconfig(image);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(sim.waitOut("recv block 512", 5000ms));
  EXPECT_TRUE(sim.waitOut("sent ack *", 5000ms));
  EXPECT_TRUE(sim.waitOut("162.525", 5000ms)) << sim.out();
}

TEST_F(SimTest, UploadStopsAtAWrongAnswer) {
  startSim({"--p-answer", "X"});
  std::string out, err;
  open(&out, &err);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  writeconfig(config);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "writeconfig: wrong response X\n");
}

}  // namespace
