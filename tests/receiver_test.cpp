// The serial link: line assembly, command handshakes, the opening sequence,
// upload and the dumps.  Pseudo-terminals stand in for the serial port, and
// zud-sim for the receiver; the lines the link hands over are collected.
// Exchanges run on the event loop, which runs only while the library's
// socket descriptor is set: a pipe stands in for it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "process.h"
#include "sources/receiver.h"
#include "xPL.h"

using namespace std::chrono_literals;
using testsupport::Process;

namespace {

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

// Runs the event loop, as zud does, until the link's exchanges have ended;
// false when they had not after `timeout`.
bool settle(const receiver &link, std::chrono::milliseconds timeout) {
  int ends[2];
  if (pipe(ends) != 0) return false;
  xPLFD = ends[0];
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (linebusy(link) && std::chrono::steady_clock::now() < deadline) xPL_processMessages(50);
  xPLFD = -1;
  close(ends[0]);
  close(ends[1]);
  return !linebusy(link);
}

class LinkTest : public ::testing::Test {
 protected:
  receiver link;
  std::vector<std::string> lines;  // as the link handed them over

  void SetUp() override {
    link.owner = &lines;
    link.lineHandler = [](std::string_view line, void *owner) {
      static_cast<std::vector<std::string> *>(owner)->emplace_back(line);
    };
  }
  // Gives the link a port of its own on the slave side, as an opening would.
  void plug(const PtyPair &pty) { link.ttyfd = dup(pty.slave); }
  // Runs zudread once, as the event loop would, with stdout and stderr captured.
  void readOnce(std::string *out = nullptr, std::string *err = nullptr) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    zudread(link.ttyfd, POLLIN, link.handle);
    std::string o = testing::internal::GetCapturedStdout();
    std::string e = testing::internal::GetCapturedStderr();
    if (out) *out = o;
    if (err) *err = e;
  }
  long held() const { return static_cast<long>(link.lines.pending()); }
};

TEST_F(LinkTest, LineArrivingInPiecesIsHandedOverOnceWithoutItsLineEnd) {
  PtyPair pty;
  plug(pty);
  pty.send(preamble + "ZCZC-WXR-RWT-016001");
  readOnce();
  pty.send("+0030-2201802-KBOI");
  readOnce();
  EXPECT_TRUE(lines.empty());
  pty.send("/NWS-\r\n");
  readOnce();
  const std::string whole = preamble + "ZCZC-WXR-RWT-016001+0030-2201802-KBOI/NWS-";
  EXPECT_EQ(lines, std::vector<std::string>{whole});
  EXPECT_EQ(held(), 0);
}

TEST_F(LinkTest, EveryTrailingCarriageReturnAndLineFeedIsStripped) {
  PtyPair pty;
  plug(pty);
  pty.send(preamble + sampleText + "\r\n\r\n");
  readOnce();
  EXPECT_EQ(lines, std::vector<std::string>{preamble + sampleText});
}

TEST_F(LinkTest, LinesArrivingTogetherAreHandedOverOneByOne) {
  PtyPair pty;
  plug(pty);
  // Two headers and the start of a third in one read, as when the loop was
  // busy while the receiver talked: none may be lost.
  const std::string tornado = preamble + "ZCZC-WXR-TOR-041045+0030-2201802-KBOI/NWS-";
  pty.send(preamble + sampleText + "\r\n" + tornado + "\r\n" + preamble + "ZCZC-WXR");
  readOnce();
  EXPECT_EQ(lines, (std::vector<std::string>{preamble + sampleText, tornado}));
  EXPECT_EQ(held(), 16 + 8);

  pty.send("-SVR-016001+0030-2201802-KBOI/NWS-\r\n");
  readOnce();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], preamble + "ZCZC-WXR-SVR-016001+0030-2201802-KBOI/NWS-");
  EXPECT_EQ(held(), 0);
}

TEST_F(LinkTest, TextBeforeAnInnerLineFeedIsALineOfItsOwn) {
  PtyPair pty;
  plug(pty);
  pty.send("text\nmore");
  readOnce();
  EXPECT_EQ(lines, std::vector<std::string>{"text"});
  EXPECT_EQ(held(), 4);
  pty.send("tail\n");
  readOnce();
  EXPECT_EQ(lines, (std::vector<std::string>{"text", "moretail"}));
}

TEST_F(LinkTest, FullBufferWithoutLineFeedIsDiscardedAndAssemblyStartsAfresh) {
  PtyPair pty;
  plug(pty);
  pty.send(std::string(600, 'x'));
  std::string err;
  for (int i = 0; i < 5 && err.empty(); i++) readOnce(nullptr, &err);
  EXPECT_EQ(err, "line of 512 bytes without a line feed -- discarded\n");
  // The 88 bytes beyond the first 512 start the next line.
  readOnce();
  EXPECT_EQ(held(), 88);
  pty.send("\n");
  readOnce();
  EXPECT_EQ(lines, std::vector<std::string>{std::string(88, 'x')});
  pty.send(preamble + sampleText + "\r\n");
  readOnce(nullptr, &err);
  EXPECT_EQ(err, "");
  EXPECT_EQ(lines.back(), preamble + sampleText);
}

TEST_F(LinkTest, DumpShowsTheTimeAndEscapesUnprintableBytes) {
  PtyPair pty;
  plug(pty);
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
  plug(pty);
  int port = link.ttyfd;
  link.tfile = "/dev/receiver-test";
  ASSERT_TRUE(xPL_addIODevice(zudread, link.handle, port, TRUE, FALSE, FALSE));
  link.watching = true;  // as an opening leaves it
  close(pty.master);
  pty.master = -1;
  std::string err;
  readOnce(nullptr, &err);
  EXPECT_EQ(link.ttyfd, -1);
  EXPECT_NE(err.find("receiver port /dev/receiver-test lost"), std::string::npos) << err;
  EXPECT_NE(err.find("trying again every 5 s"), std::string::npos);
  // The descriptor is closed and no longer watched.
  EXPECT_EQ(fcntl(port, F_GETFD), -1);
  EXPECT_FALSE(xPL_removeIODevice(port));
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

TEST_F(LinkTest, CommandIsRepeatedOnTheLoopUntilTheReceiverAnswers) {
  PtyPair pty;
  plug(pty);
  testing::internal::CaptureStdout();
  test1(link);
  // The command goes out again every 100 ms while the loop runs on.
  EXPECT_FALSE(settle(link, 350ms));
  const std::string sent = pty.receive();
  pty.send("!");
  EXPECT_TRUE(settle(link, 1000ms));
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string all = sent + pty.receive();
  ASSERT_GE(all.size(), 3u);
  EXPECT_EQ(all, std::string(all.size(), 't'));
  // Answered: the port is read for lines again, the answer first.
  EXPECT_EQ(out.rfind("writechar returns 1, i = " + std::to_string(all.size() - 1) + "\n", 0), 0u)
      << out;
  EXPECT_TRUE(link.watching);
}

TEST(WriteChar, FailedWriteIsReportedByTheCaller) {
  receiver link;  // no port open
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  test1(link);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out, "writechar returns -1, i = 0\n");
  EXPECT_EQ(err, "writechar t: Bad file descriptor\n");
}

TEST(OpenDevice, MissingPathLeavesNoPortAndPrintsNothing) {
  receiver link;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  opendevice(link, "/nonexistent/ttyUSB9");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(link.ttyfd, -1);
  EXPECT_EQ(link.tfile, std::nullopt);
}

TEST(OpenDevice, PortThatExistsButCannotBeOpenedIsReportedWithItsReason) {
  // A socket file cannot be opened at all (ENXIO), as a port without
  // permission cannot: the operator must hear why, not wait in silence.
  testsupport::TempDir dir;
  std::string path = dir.file("port");
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof(address.sun_path) - 1);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
  receiver link;
  testing::internal::CaptureStderr();
  opendevice(link, path.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "cannot open receiver port " + path + " (" + strerror(ENXIO) +
                ") -- trying again every 5 s\n");
  EXPECT_EQ(link.ttyfd, -1);
  close(sock);
}

TEST(OpenDevice, AnythingButATerminalIsRefusedBeforeAByteIsWritten) {
  testsupport::TempDir dir;
  std::string file = dir.file("not-a-port");
  ASSERT_TRUE(testsupport::writeFile(file, "keep me"));
  receiver link;
  for (const std::string &path : {file, dir.path()}) {
    testing::internal::CaptureStderr();
    opendevice(link, path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), path + " is not a terminal -- not opened\n");
    EXPECT_EQ(link.ttyfd, -1);
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
  // Opens the simulated receiver and runs the loop until the opening has
  // ended, capturing what the link prints.
  void open(std::string *out, std::string *err) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    opendevice(link, path.c_str());
    EXPECT_TRUE(settle(link, 30000ms));
    *out = testing::internal::GetCapturedStdout();
    *err = testing::internal::GetCapturedStderr();
  }
};

TEST_F(SimTest, OpeningQueriesAndDownloadsTheBlock) {
  startSim({"--freq", "162.475", "--altfreq", "162.550", "--fips", "016001,041045",
            "--ident", "TEST RECEIVER\\r\\n"});
  // A test command asked for during the opening waits for it to end.
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  opendevice(link, path.c_str());
  test1(link);
  EXPECT_TRUE(settle(link, 30000ms));
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_GE(link.ttyfd, 0);
  EXPECT_EQ(link.tfile, path);
  EXPECT_EQ(link.configread, 1);
  EXPECT_EQ(err, "");
  EXPECT_NE(out.find("TEST RECEIVER[0x0d][0x0a]\n"), std::string::npos) << out;
  EXPECT_NE(out.find("512 bytes\n"), std::string::npos);
  EXPECT_NE(out.find("main freq = 162.475 alt freq = 162.550\n"), std::string::npos);
  EXPECT_NE(out.find("fips 1 016001\nfips 2 041045\n"), std::string::npos);
  EXPECT_EQ(link.config[offsetof(zudconfig, mainfreq)], 4);
  EXPECT_TRUE(sim.waitOut("recv ?", 2000ms));
  EXPECT_TRUE(sim.waitOut("recv d", 2000ms));
  ASSERT_TRUE(sim.waitOut("recv t", 2000ms));
  EXPECT_LT(sim.out().find("recv d"), sim.out().find("recv t"));

  // The port is a device of the event loop: the test command's answer (the
  // built-in sample) arrives through it and is handed over.
  sleep(1);
  std::string readOut;
  readOnce(&readOut);
  EXPECT_EQ(lines, std::vector<std::string>{preamble + sampleText}) << readOut;
}

TEST_F(SimTest, SilentReceiverCostsBoundedWaitsAndLeavesTheBlockUnread) {
  startSim({"--mute", "?d"});
  std::string out, err;
  open(&out, &err);
  EXPECT_GE(link.ttyfd, 0);
  EXPECT_NE(err.find("writechar ?: "), std::string::npos) << err;
  EXPECT_NE(err.find("no answer to ? within 2 s\n"), std::string::npos);
  EXPECT_NE(err.find("writechar d: "), std::string::npos);
  EXPECT_NE(err.find("no configuration block within 10 s -- block not read\n"),
            std::string::npos);
  EXPECT_EQ(link.configread, 0);
  EXPECT_NE(out.find("writechar returns 0, i = 50\n"), std::string::npos);
}

TEST_F(SimTest, BlockFollowedByExtraBytesIsNotTakenForABlock) {
  startSim({"--extra", "1"});
  std::string out, err;
  open(&out, &err);
  EXPECT_NE(err.find("no configuration block within 10 s"), std::string::npos) << err;
  EXPECT_NE(out.find("waitfor 513 bytes\n"), std::string::npos);
  EXPECT_EQ(link.configread, 0);
}

TEST_F(SimTest, UploadIsAcknowledgedAndKeptByTheReceiver) {
  startSim({"--dump"});
  std::string out, err;
  open(&out, &err);
  ASSERT_EQ(link.configread, 1);
  unsigned char image[blocksize];
  memcpy(image, link.config, blocksize);
  image[offsetof(zudconfig, mainfreq)] = 6;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  writeconfig(link, image);
  EXPECT_TRUE(settle(link, 30000ms));
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
  writeconfig(link, link.config);
  EXPECT_TRUE(settle(link, 30000ms));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "writeconfig: wrong response X\n");
}

}  // namespace
